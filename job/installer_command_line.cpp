#include "job/installer_command_line.h"

std::u16string installerCommandLine(const std::u16string& installerPath,
                                    const RunOptions& options) {
    std::u16string line = u"\"" + installerPath + u"\"";
    if (options.verySilent) {
        line += u" /VERYSILENT";
    } else if (options.silent) {
        line += u" /SILENT";
    }
    line += u" /DIR=\"";
    line += options.targetDirectory;
    line += u"\"";
    line += u" /LANG=";
    line += options.language;
    return line;
}

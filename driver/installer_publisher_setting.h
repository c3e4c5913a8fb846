// Whose installers an executable runs, compiled into each executable.
#pragma once

#include "job/installer_publisher.h"

// Defined once per executable, in a source that the build generates from the
// DOWNLOADER_INSTALLER_PUBLISHER_* options (cmake/installer_publisher.cmake), so that the tests
// can build twins of the downloader with another setting.
InstallerPublisherSetting installerPublisherSetting();

// Makes chosen calls of curl_easy_init fail, as they do when memory runs out. The network
// tests are linked with --wrap=curl_easy_init, which routes every call through this.
#pragma once

// Lets the first `skip` calls from now on through and fails the next `fail` ones.
void failCurlInits(int skip, int fail);

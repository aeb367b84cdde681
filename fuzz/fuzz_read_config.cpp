// Arbitrary file contents through the configuration reader.
#include "core/log.h"
#include "core/settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
void discard(const char *, void *) {}

const std::string &scratch_file() {
    static const std::string path = [] {
        char pattern[] = "/tmp/ferrule-fuzz-config-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0) {
            close(fd);
        }
        return std::string(pattern);
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ferrule_log_set_sink(discard, nullptr);
    std::FILE *fp = std::fopen(scratch_file().c_str(), "wb");
    if (fp == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, fp);
    std::fclose(fp);
    read_config(scratch_file().c_str());
    // Every text setting must still be terminated within its width.
    if (strnlen(Location_Homepage, sizeof Location_Homepage) == sizeof Location_Homepage ||
        strnlen(SYSOP_ID, sizeof SYSOP_ID) == sizeof SYSOP_ID ||
        strnlen(Hytera_RPT_local_address, sizeof Hytera_RPT_local_address) ==
            sizeof Hytera_RPT_local_address) {
        std::abort();
    }
    return 0;
}

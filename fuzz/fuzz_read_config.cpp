// Arbitrary file contents through the configuration reader.
#include "core/settings.h"
#include "testing/fuzz_support.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
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
    fuzz_input::quiet_log();
    std::FILE *fp = std::fopen(scratch_file().c_str(), "wb");
    if (fp == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, fp);
    std::fclose(fp);
    read_config(scratch_file().c_str());
    // Every text setting must still be terminated within its width.
    FUZZ_CHECK(strnlen(Location_Homepage, sizeof Location_Homepage) < sizeof Location_Homepage &&
               strnlen(SYSOP_ID, sizeof SYSOP_ID) < sizeof SYSOP_ID &&
               strnlen(Hytera_RPT_local_address, sizeof Hytera_RPT_local_address) <
                   sizeof Hytera_RPT_local_address &&
               strnlen(Location_Description, sizeof Location_Description) <
                   sizeof Location_Description);
    FUZZ_CHECK(Location_Height >= 0 && Location_Height <= 999);
    // Unless the reader said why the daemon must stop, every address and
    // port is one the sockets can take.
    const char *fatal = config_fatal_error();
    if (fatal != nullptr) {
        FUZZ_CHECK(fatal[std::strlen(fatal) - 1] == '\n');
        return 0;
    }
    in_addr a{};
    // The peer may also be a host name, looked up by the link.
    FUZZ_CHECK(DMRGateway_address[0] != '\0' &&
               strnlen(DMRGateway_address, sizeof DMRGateway_address) < sizeof DMRGateway_address);
    for (const char *address : {DMRGateway_local_address, Hytera_RPT_local_address}) {
        FUZZ_CHECK(inet_pton(AF_INET, address, &a) == 1);
    }
    for (int port : {DMRGateway_port, DMRGateway_local_port, Hytera_RPT_PORT, Hytera_RPT_AUDIO_PORT,
                     Hytera_RPT_RDAC_PORT}) {
        FUZZ_CHECK(port >= 1 && port <= 65535);
    }
    return 0;
}

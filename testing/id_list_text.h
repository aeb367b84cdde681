#pragma once
// A DMRIds.dat of `entries` generated lines, as large as the real lists of
// the world's registered users, for the load benchmark and the latency one.

#include <cstdint>
#include <cstdio>
#include <string>

namespace ferrule_test {

inline std::string generated_id_list(std::size_t entries) {
    static const char *const names[] = {"Hans",      "Anna Maria",   "Jos\xc3\xa9", "Li",
                                        "Oluwaseun", "Marie-Claire", "Bob",         "Giuseppe"};
    std::string text = "# generated DMR ID list\n";
    text.reserve(entries * 28);
    char line[64];
    for (std::size_t i = 0; i < entries; ++i) {
        const auto id = static_cast<unsigned>(1000001 + i * 7);
        std::snprintf(line, sizeof line, "%u\tDL%uABC\t%s\n", id, static_cast<unsigned>(i % 10),
                      names[i % 8]);
        text += line;
    }
    return text;
}

} // namespace ferrule_test

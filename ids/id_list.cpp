#include "ids/id_list.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

id_list dmr_ids;

namespace {

constexpr std::uint32_t ID_MAX = 16777215;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool parse_id(std::string_view s, std::uint32_t &id) {
    s = trim(s);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), id);
    return ec == std::errc() && end == s.data() + s.size() && id > 0 && id <= ID_MAX;
}

// Splits one CSV line into at most `max` fields; quotes may hold commas and
// doubled quotes.
std::size_t csv_fields(std::string_view line, std::string *fields, std::size_t max) {
    std::size_t n = 0;
    std::size_t i = 0;
    bool more = true;
    while (more && n < max) {
        std::string &f = fields[n++];
        f.clear();
        bool quoted = i < line.size() && line[i] == '"';
        i += quoted ? 1 : 0;
        more = false;
        while (i < line.size()) {
            const char c = line[i++];
            if (quoted && c == '"') {
                quoted = i < line.size() && line[i] == '"';
                if (quoted) {
                    f += '"';
                    ++i;
                }
            } else if (!quoted && c == ',') {
                more = true;
                break;
            } else {
                f += c;
            }
        }
    }
    return n;
}

std::string upper(std::string_view s) {
    std::string u(trim(s));
    for (char &c : u) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return u;
}

// Valid UTF-8 stays; any other byte is taken as ISO 8859-1. Control
// characters are dropped: the text ends up in logs and on a page.
void append_text(std::string &out, std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80             ? 1
                          : (b & 0xE0) == 0xC0 ? 2
                          : (b & 0xF0) == 0xE0 ? 3
                          : (b & 0xF8) == 0xF0 ? 4
                                               : 0;
        bool valid = len > 0 && i + len <= s.size() && (len == 1 || b >= 0xC2);
        for (std::size_t k = 1; valid && k < len; ++k) {
            valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        }
        if (valid) {
            if (len > 1 || (b >= 0x20 && b != 0x7F)) {
                out.append(s.substr(i, len));
            }
            i += len;
            continue;
        }
        if (b >= 0xA0) {
            out += static_cast<char>(0xC0 | b >> 6);
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
        ++i;
    }
}

// Cuts UTF-8 text to at most `max` bytes without splitting a character.
std::size_t fitting_length(std::string_view s, std::size_t max) {
    if (s.size() <= max) {
        return s.size();
    }
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

void copy_field(char *field, std::size_t size, std::string_view text) {
    std::memcpy(field, text.data(), text.size());
    std::memset(field + text.size(), 0, size - text.size());
}

} // namespace

std::unique_ptr<const id_table> id_table::parse(std::string_view text, id_read_counts &counts) {
    auto table = std::make_unique<id_table>();
    table->entries_.reserve(text.size() / 24);
    table->text_.reserve(text.size() / 2);
    counts = {};
    bool csv = false;
    std::size_t id_col = 0;
    std::size_t call_col = 1;
    std::size_t name_col = SIZE_MAX;
    bool first = true;
    constexpr std::size_t MAX_FIELDS = 16;
    std::string fields[MAX_FIELDS];
    std::string scratch;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (first) {
            first = false;
            const std::size_t n = csv_fields(line, fields, MAX_FIELDS);
            for (std::size_t i = 0; i < n; ++i) {
                const std::string name = upper(fields[i]);
                if (name == "RADIO_ID") {
                    csv = true;
                    id_col = i;
                } else if (name == "CALLSIGN") {
                    call_col = i;
                } else if (name == "FIRST_NAME") {
                    name_col = i;
                }
            }
            if (csv) {
                continue;
            }
        }
        std::uint32_t id = 0;
        std::string_view callsign;
        std::string_view name;
        if (csv) {
            const std::size_t n = csv_fields(line, fields, MAX_FIELDS);
            if (id_col >= n || call_col >= n || !parse_id(fields[id_col], id)) {
                ++counts.skipped_lines;
                continue;
            }
            callsign = trim(fields[call_col]);
            name = name_col < n ? trim(fields[name_col]) : std::string_view{};
        } else {
            const std::size_t id_end = line.find_first_of(" \t");
            const std::string_view rest =
                trim(id_end == std::string_view::npos ? std::string_view{} : line.substr(id_end));
            const std::size_t call_end = rest.find_first_of(" \t");
            callsign = rest.substr(0, call_end);
            name = call_end == std::string_view::npos ? std::string_view{}
                                                      : trim(rest.substr(call_end));
            if (!parse_id(line.substr(0, id_end), id)) {
                ++counts.skipped_lines;
                continue;
            }
        }
        if (callsign.empty()) {
            ++counts.skipped_lines;
            continue;
        }
        scratch.clear();
        append_text(scratch, callsign);
        const std::size_t call_length = fitting_length(scratch, ID_CALLSIGN_SIZE - 1);
        scratch.resize(call_length);
        append_text(scratch, name);
        const std::size_t name_length =
            fitting_length(std::string_view(scratch).substr(call_length), ID_NAME_SIZE - 1);
        const auto offset = static_cast<std::uint32_t>(table->text_.size());
        table->text_.append(scratch, 0, call_length + name_length);
        table->entries_.push_back({id, offset, static_cast<std::uint8_t>(call_length),
                                   static_cast<std::uint8_t>(name_length)});
    }
    // The first line for an ID wins, as a lookup going down the file would find.
    auto &e = table->entries_;
    std::stable_sort(e.begin(), e.end(),
                     [](const entry &a, const entry &b) { return a.id < b.id; });
    e.erase(std::unique(e.begin(), e.end(),
                        [](const entry &a, const entry &b) { return a.id == b.id; }),
            e.end());
    e.shrink_to_fit();
    table->text_.shrink_to_fit();
    counts.entries = e.size();
    return table;
}

bool id_table::find(std::uint32_t id, char (&callsign)[ID_CALLSIGN_SIZE],
                    char (&name)[ID_NAME_SIZE]) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                     [](const entry &e, std::uint32_t v) { return e.id < v; });
    if (it == entries_.end() || it->id != id) {
        callsign[0] = 0;
        name[0] = 0;
        return false;
    }
    const std::string_view t(text_);
    copy_field(callsign, ID_CALLSIGN_SIZE, t.substr(it->offset, it->callsign_length));
    copy_field(name, ID_NAME_SIZE, t.substr(it->offset + it->callsign_length, it->name_length));
    return true;
}

std::size_t id_table::memory() const {
    return sizeof *this + entries_.capacity() * sizeof(entry) + text_.capacity();
}

std::unique_ptr<const id_table> id_table_read(const char *path, id_read_counts &counts) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        return nullptr;
    }
    std::string text;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        return nullptr;
    }
    return id_table::parse(text, counts);
}

void id_list::publish(std::unique_ptr<const id_table> table, const id_list_info &info) {
    const int next = current_.load() == 0 ? 1 : 0;
    while (readers_[static_cast<std::size_t>(next)].load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    slots_[static_cast<std::size_t>(next)] = std::move(table);
    current_.store(next);
    std::lock_guard<std::mutex> guard(info_mutex_);
    info_ = info;
}

void id_list::set_file(std::string_view file) {
    std::lock_guard<std::mutex> guard(info_mutex_);
    info_.file = file;
}

bool id_list::find(std::uint32_t id, char (&callsign)[ID_CALLSIGN_SIZE],
                   char (&name)[ID_NAME_SIZE]) const {
    for (;;) {
        const int slot = current_.load();
        if (slot < 0) {
            callsign[0] = 0;
            name[0] = 0;
            return false;
        }
        std::atomic<int> &readers = readers_[static_cast<std::size_t>(slot)];
        readers.fetch_add(1);
        // Counted in before the loader could have moved on to this slot
        // again: the table stays until the count drops.
        if (current_.load() == slot) {
            const bool found = slots_[static_cast<std::size_t>(slot)]->find(id, callsign, name);
            readers.fetch_sub(1);
            return found;
        }
        readers.fetch_sub(1);
    }
}

id_list_info id_list::info() const {
    std::lock_guard<std::mutex> guard(info_mutex_);
    return info_;
}

void id_list::reset() {
    current_.store(-1);
    slots_ = {};
    std::lock_guard<std::mutex> guard(info_mutex_);
    info_ = {};
}

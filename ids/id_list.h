#pragma once
// The DMR ID list: who is behind a source ID, read from MMDVMHost's
// DMRIds.dat (ID, call sign, name, separated by blanks or tabs; '#' starts a
// comment line) or RadioID's user.csv (a header naming RADIO_ID, CALLSIGN and
// optionally FIRST_NAME; fields may be quoted). A table is read whole, never
// changed, and replaced whole by the next one; the voice path looks names up
// without a lock, a wait or an allocation.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t ID_CALLSIGN_SIZE = 16; // as call_figures holds them
inline constexpr std::size_t ID_NAME_SIZE = 32;

struct id_read_counts {
    std::size_t entries = 0;
    std::size_t skipped_lines = 0; // lines that could not be read
};

class id_table {
  public:
    // Reads the text of either form. Comment and empty lines are passed
    // over; a line without a usable ID (1-16777215) or call sign is skipped
    // and counted. Text that is not UTF-8 is taken as ISO 8859-1.
    static std::unique_ptr<const id_table> parse(std::string_view text, id_read_counts &counts);

    // Copies the call sign and name of `id` into the fields, NUL-terminated
    // and cut to fit; false (fields emptied) when the list does not know it.
    bool find(std::uint32_t id, char (&callsign)[ID_CALLSIGN_SIZE],
              char (&name)[ID_NAME_SIZE]) const;
    std::size_t size() const { return entries_.size(); }
    // Bytes held, for the load's figures.
    std::size_t memory() const;

  private:
    struct entry {
        std::uint32_t id;
        std::uint32_t offset; // into text_: the call sign, then the name
        std::uint8_t callsign_length;
        std::uint8_t name_length;
    };
    std::vector<entry> entries_;
    std::string text_;
};

// What the status page shows of the list.
struct id_list_info {
    std::string file;
    std::size_t entries = 0;
    std::size_t skipped_lines = 0;
    std::time_t loaded = 0; // 0: nothing loaded yet
};

// The daemon's current table. One thread (the loader) publishes; any thread
// looks up. Two slots: a reader counts itself in on the current one, and the
// loader reuses the other only once nobody is counted there, so a table is
// never freed under a reader and a reader never waits.
class id_list {
  public:
    // Loader only. Waits for readers of the slot it reuses to leave it.
    void publish(std::unique_ptr<const id_table> table, const id_list_info &info);
    // The file a status reader shows even before the first load.
    void set_file(std::string_view file);

    bool find(std::uint32_t id, char (&callsign)[ID_CALLSIGN_SIZE],
              char (&name)[ID_NAME_SIZE]) const;
    id_list_info info() const;
    // For tests: forgets everything (no reader may be running).
    void reset();

  private:
    std::array<std::unique_ptr<const id_table>, 2> slots_;
    std::atomic<int> current_{-1};
    mutable std::array<std::atomic<int>, 2> readers_{};
    mutable std::mutex info_mutex_;
    id_list_info info_;
};

// Reads a file of either form; nullptr when it cannot be opened or read.
std::unique_ptr<const id_table> id_table_read(const char *path, id_read_counts &counts);

// The daemon's list.
extern id_list dmr_ids;

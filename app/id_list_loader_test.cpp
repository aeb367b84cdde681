// The ID list loader's checks of the file: one line for each load and each
// failure, nothing while the file stays as it was.
#include "app/id_list_loader.h"
#include "ids/id_list.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ferrule_test;

TEST(IdListLoader, LoadsOnceLogsAFailureOnceAndKeepsTheListItHad) {
    CapturedLog log;
    ScratchDir dir;
    const std::string path = (dir.path() / "DMRIds.dat").string();
    id_list_watch watch;
    auto lines = [&] { return log.text(); };
    id_list_check(path.c_str(), watch, 100);
    id_list_check(path.c_str(), watch, 160);
    EXPECT_TRUE(contains_once(lines(), "cannot be read (No such file or directory): calls are "
                                       "shown without names\n"));
    dir.write("DMRIds.dat", "2621234 DL1ABC Hans\nbad\n");
    id_list_check(path.c_str(), watch, 220);
    id_list_check(path.c_str(), watch, 280);
    EXPECT_TRUE(contains_once(lines(), "loaded: 1 entries, 1 lines skipped"));
    EXPECT_EQ(dmr_ids.info().loaded, 220);
    char callsign[ID_CALLSIGN_SIZE];
    char name[ID_NAME_SIZE];
    EXPECT_TRUE(dmr_ids.find(2621234, callsign, name));
    std::filesystem::remove(path);
    id_list_check(path.c_str(), watch, 340);
    EXPECT_TRUE(contains_once(lines(), "the list read before stays in use"));
    EXPECT_TRUE(dmr_ids.find(2621234, callsign, name));
    dmr_ids.reset();
}

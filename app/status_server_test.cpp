// The status page's HTTP side, in process on loopback: what each path answers,
// what other requests get, and that a crowd of idle clients only delays the
// next one.
#include "app/status_server.h"
#include "testing/http_client.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <vector>

using namespace ferrule_test;

namespace {

class StatusServer : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start("127.0.0.1", 0)); }
    status_server server;
};

TEST_F(StatusServer, ServesPageJsonAndMetrics) {
    const struct {
        const char *path;
        const char *type;
        const char *contains;
    } cases[] = {
        {"/", "text/html; charset=utf-8", "fetch(\"status.json\""},
        {"/index.html", "text/html; charset=utf-8", "<table id=\"repeaters\">"},
        {"/status.json", "application/json", "\"repeaters\":[]"},
        {"/status.json?now", "application/json", "\"links\":[{"},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", "\nferrule_repeaters 0\n"},
    };
    for (const auto &c : cases) {
        const http_reply r = http_get(server.port(), c.path);
        EXPECT_EQ(r.status, 200) << c.path;
        EXPECT_TRUE(r.has_header(std::string("Content-Type: ") + c.type)) << c.path << r.head;
        EXPECT_TRUE(r.has_header("Cache-Control: no-store")) << c.path;
        EXPECT_TRUE(contains(r.body, c.contains)) << c.path;
    }
    EXPECT_TRUE(nlohmann::json::accept(http_get(server.port(), "/status.json").body));

    // The page needs nothing from elsewhere, and the browser is told so. The
    // one address it holds is the map link of a call's position, followed
    // only when clicked.
    const http_reply page = http_get(server.port(), "/");
    std::string body = page.body;
    const std::string map = "\"https://www.openstreetmap.org/?mlat=\"";
    ASSERT_NE(body.find(map), std::string::npos);
    body.erase(body.find(map), map.size());
    for (const char *outside : {"http://", "https://", "src=", "href=", "@import", "url("}) {
        EXPECT_EQ(body.find(outside), std::string::npos) << outside;
    }
    EXPECT_TRUE(contains(page.head, "Content-Security-Policy: default-src 'none';"));
}

TEST_F(StatusServer, OtherPathsAndMethodsAreRefused) {
    const struct {
        const char *method;
        const char *path;
        int status;
    } cases[] = {
        {"GET", "/status", 404},     {"GET", "/../etc/passwd", 404},
        {"GET", "/metrics/", 404},   {"POST", "/status.json", 405},
        {"PUT", "/", 405},           {"DELETE", "/metrics", 405},
        {"POST", "/elsewhere", 404}, {"OPTIONS", "/status.json", 405},
    };
    for (const auto &c : cases) {
        const http_reply r = http_request(server.port(), c.method, c.path);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
        if (c.status == 405) {
            EXPECT_TRUE(r.has_header("Allow: GET, HEAD")) << r.head;
        }
    }
    const http_reply head = http_request(server.port(), "HEAD", "/status.json");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
}

TEST_F(StatusServer, ClientsBeyondTheLimitWaitUntilOthersLeave) {
    std::vector<int> idle;
    for (unsigned i = 0; i < STATUS_CONNECTIONS; ++i) {
        const int fd = http_connect(server.port());
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    const int waiting = http_send(server.port(), "GET", "/metrics");
    ASSERT_GE(waiting, 0);
    EXPECT_TRUE(http_silent(waiting, std::chrono::milliseconds(300)));
    for (int fd : idle) {
        close(fd);
    }
    EXPECT_EQ(http_read(waiting).status, 200);
}

TEST(StatusServerStart, FailsOnABadAddressOrABusyPort) {
    status_server server;
    const bool started = server.start("localhost", 0);
    const int error = errno;
    EXPECT_FALSE(started);
    EXPECT_EQ(error, EINVAL);
    status_server first;
    ASSERT_TRUE(first.start("127.0.0.1", 0));
    EXPECT_FALSE(server.start("127.0.0.1", first.port()));
}

} // namespace

#include "app/status_server.h"

#include "app/mqtt_client.h"

#include "core/log.h"
#include "core/settings.h"
#include "status/status_render.h"
#include "status/status_snapshot.h"
#include "status_page_html.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string>
#include <system_error>

namespace {

enum class resource { page, json, metrics, none };

resource resource_of(const char *url) {
    if (std::strcmp(url, "/") == 0 || std::strcmp(url, "/index.html") == 0) {
        return resource::page;
    }
    if (std::strcmp(url, "/status.json") == 0) {
        return resource::json;
    }
    if (std::strcmp(url, "/metrics") == 0) {
        return resource::metrics;
    }
    return resource::none;
}

// The page loads nothing from elsewhere and talks only to this server; the
// policy says so to the browser, so even a text that slipped past the page's
// own care could load or send nothing.
constexpr const char *PAGE_POLICY =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

MHD_Result send(MHD_Connection *connection, unsigned status, const std::string &body,
                const char *type, const char *policy = nullptr) {
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (policy != nullptr) {
        MHD_add_response_header(response, "Content-Security-Policy", policy);
    }
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char * /*version*/, const char * /*upload_data*/,
                  std::size_t * /*upload_data_size*/, void ** /*request_state*/) {
    const resource r = resource_of(url);
    if (r == resource::none) {
        return send(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
    }
    // HEAD is answered like GET; the library leaves out the body.
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                    "text/plain; charset=utf-8");
    }
    if (r == resource::page) {
        return send(connection, MHD_HTTP_OK, std::string(STATUS_PAGE_HTML, STATUS_PAGE_HTML_SIZE),
                    "text/html; charset=utf-8", PAGE_POLICY);
    }
    const auto *server = static_cast<const status_server *>(cls);
    status_snapshot snapshot =
        gather_status(std::time(nullptr), status_clock_ms(), server->started_ms());
    snapshot.mqtt_dropped = mqtt_dropped_total();
    if (r == resource::json) {
        return send(connection, MHD_HTTP_OK, render_status_json(snapshot), "application/json");
    }
    return send(connection, MHD_HTTP_OK, render_metrics(snapshot),
                "text/plain; version=0.0.4; charset=utf-8");
}

} // namespace

bool status_server::start(const char *address, std::uint16_t port) {
    stop();
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &where.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    started_ms_ = status_clock_ms();
    // One internal thread polls every connection: requests are served one
    // after the other, which is plenty for a page polled every two seconds.
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, port, nullptr, nullptr, &answer, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&where), MHD_OPTION_CONNECTION_LIMIT,
        STATUS_CONNECTIONS, MHD_OPTION_CONNECTION_TIMEOUT, STATUS_TIMEOUT_SECONDS, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info != nullptr ? info->port : port;
    return true;
}

void status_server::stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

void status_page_start() {
    if (Status_port == 0) {
        ferrule_log("Status page off (Status_port=0)\n");
        return;
    }
    if (Status_port < 0 || Status_port > 65535) {
        ferrule_log("Status page off: Status_port=%d is no port\n", Status_port);
        return;
    }
    static status_server server;
    if (!server.start(Status_address, static_cast<std::uint16_t>(Status_port))) {
        // strerror's buffer is shared between threads; this text is not.
        ferrule_log("Status page off: cannot listen on %s:%d (%s)\n", Status_address, Status_port,
                    std::generic_category().message(errno).c_str());
        return;
    }
    ferrule_log("Status page on http://%s:%d/\n", Status_address, Status_port);
}

#include "app/mqtt_client.h"

#include "core/bounded_queue.h"
#include "core/log.h"
#include "core/settings.h"
#include "hytera/repeater_table.h"
#include "status/status_render.h"
#include "status/status_snapshot.h"
#include "voice/call_log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mosquitto.h>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// A log message or a call event, copied whole into the ring. Messages longer
// than the text are cut (the long configuration echo lines, nothing else).
struct outgoing {
    bool is_call = false;
    char text[1000] = {};
    call_event call{};
};
// About 0.6 MB: a burst of some hundred log lines at once (a full site's
// repeaters timing out together) still fits while the thread publishes.
constexpr std::size_t RING_SIZE = 512;
bounded_queue<outgoing, RING_SIZE> ring;

// Open while a broker has accepted the connection: closed, the log and the
// voice path drop at once, so nothing queues up while the broker is away.
std::atomic<bool> accepting{false};
std::atomic<std::uint64_t> dropped{0};
std::atomic<bool> running{false};
std::thread worker;

constexpr int BACKOFF_MAX_S = 30;
constexpr int LOOP_WAIT_MS = 20;
constexpr std::int64_t STATUS_CHECK_MS = 1000;
constexpr std::int64_t STATUS_EVERY_MS = 60000;
// Messages handed to libmosquitto and not yet written to the socket: a broker
// that stops reading would otherwise grow libmosquitto's queue without end.
constexpr int UNWRITTEN_MAX = 256;
constexpr int QOS_EVENTS = 0;
constexpr int QOS_STATE = 1;

void drop() {
    dropped.fetch_add(1, std::memory_order_relaxed);
}

// Under the log's lock: copies and returns.
void log_tap(const char *text, void * /*user*/) {
    if (std::strchr(text, '\n') == nullptr && !accepting.load(std::memory_order_acquire)) {
        return; // a colour sequence or part of a line: nothing to count
    }
    if (!accepting.load(std::memory_order_acquire)) {
        drop();
        return;
    }
    const bool pushed = ring.push([text](outgoing &o) {
        o.is_call = false;
        const std::size_t n = strnlen(text, sizeof o.text - 1);
        std::memcpy(o.text, text, n);
        if (text[n] != 0) {
            o.text[n - 1] = '\n'; // cut: the line still ends
        }
        o.text[n] = 0;
    });
    if (!pushed) {
        drop();
    }
}

// On the voice thread, no lock held.
void call_hook(const call_event &e) {
    if (!accepting.load(std::memory_order_acquire) || !ring.push([&e](outgoing &o) {
            o.is_call = true;
            o.call = e;
        })) {
        drop();
    }
}

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class session {
  public:
    session() : prefix_(MQTT_name) {}
    session(const session &) = delete;
    session &operator=(const session &) = delete;
    ~session() {
        if (mosq_ != nullptr) {
            mosquitto_destroy(mosq_);
        }
    }

    bool open() {
        mosq_ = mosquitto_new(MQTT_name, true, this);
        if (mosq_ == nullptr) {
            ferrule_log("MQTT client not started: libmosquitto could not make a client\n");
            return false;
        }
        if (MQTT_username[0] != 0) {
            mosquitto_username_pw_set(mosq_, MQTT_username,
                                      MQTT_password[0] != 0 ? MQTT_password : nullptr);
        }
        const std::string state = topic("state");
        mosquitto_will_set(mosq_, state.c_str(), 7, "offline", QOS_STATE, true);
        // Only noted: publishing from inside a callback would take
        // libmosquitto's locks in another order than its loop does.
        mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *self, int rc) {
            static_cast<session *>(self)->connack_ = rc;
        });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto *, void *, int) {
            accepting.store(false, std::memory_order_release);
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto *, void *self, int mid) {
            static_cast<session *>(self)->written(mid);
        });
        return true;
    }

    void run() {
        std::int64_t last_check = 0;
        while (running.load(std::memory_order_acquire)) {
            const std::int64_t now = steady_ms();
            if (!socket_open_ && now >= next_try_ms_) {
                try_connect(now);
            }
            if (socket_open_) {
                const int rc = mosquitto_loop(mosq_, LOOP_WAIT_MS, 1);
                if (connack_ >= 0) {
                    connected(std::exchange(connack_, -1));
                }
                if (rc != MOSQ_ERR_SUCCESS) {
                    lost(rc, steady_ms());
                }
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(LOOP_WAIT_MS));
            }
            drain();
            if (accepting.load(std::memory_order_acquire) &&
                (status_due_ || now - last_check >= STATUS_CHECK_MS)) {
                last_check = now;
                publish_status_if_changed(now);
            }
        }
        drain();
        close();
    }

  private:
    std::string topic(const char *leaf) const { return prefix_ + '/' + leaf; }

    void try_connect(std::int64_t now) {
        const int rc = first_try_
                           ? mosquitto_connect_async(mosq_, MQTT_address, MQTT_port, MQTT_keepalive)
                           : mosquitto_reconnect_async(mosq_);
        first_try_ = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            socket_open_ = true;
            return;
        }
        failed(rc, now);
    }

    // The connection is gone or was never made: one line per outage, then
    // quiet retries, each wait twice the last, up to 30 s.
    void failed(int rc, std::int64_t now) {
        accepting.store(false, std::memory_order_release);
        socket_open_ = false;
        if (!told_down_) {
            told_down_ = true;
            const std::string why = rc == MOSQ_ERR_ERRNO ? std::generic_category().message(errno)
                                                         : mosquitto_strerror(rc);
            if (was_up_) {
                ferrule_log("MQTT: lost the broker at %s:%d (%s); messages are dropped until it "
                            "is back, reconnecting\n",
                            MQTT_address, MQTT_port, why.c_str());
            } else {
                ferrule_log("MQTT: cannot reach the broker at %s:%d (%s); messages are dropped "
                            "until it answers, trying again every %d s at most\n",
                            MQTT_address, MQTT_port, why.c_str(), BACKOFF_MAX_S);
            }
        }
        next_try_ms_ = now + backoff_s_ * 1000LL;
        backoff_s_ = std::min(backoff_s_ * 2, BACKOFF_MAX_S);
    }

    // libmosquitto has closed the socket already.
    void lost(int rc, std::int64_t now) {
        unwritten_ = 0;
        failed(rc, now);
    }

    void connected(int rc) {
        if (rc != 0) {
            if (!told_down_) {
                told_down_ = true;
                ferrule_log("MQTT: the broker at %s:%d refused the connection (%s)\n", MQTT_address,
                            MQTT_port, mosquitto_connack_string(rc));
            }
            return;
        }
        was_up_ = true;
        told_down_ = false;
        backoff_s_ = 1;
        const std::string state = topic("state");
        mosquitto_publish(mosq_, nullptr, state.c_str(), 6, "online", QOS_STATE, true);
        status_due_ = true;
        accepting.store(true, std::memory_order_release);
        ferrule_log("MQTT: connected to the broker at %s:%d, publishing under %s/\n", MQTT_address,
                    MQTT_port, prefix_.c_str());
    }

    void written(int mid) {
        unwritten_ = std::max(0, unwritten_ - 1);
        if (mid == offline_mid_) {
            offline_written_ = true;
        }
    }

    void publish(const std::string &leaf, const std::string &payload, bool retain = false) {
        if (!accepting.load(std::memory_order_acquire) || unwritten_ >= UNWRITTEN_MAX) {
            drop();
            return;
        }
        const std::string t = topic(leaf.c_str());
        if (mosquitto_publish(mosq_, nullptr, t.c_str(), static_cast<int>(payload.size()),
                              payload.data(), QOS_EVENTS, retain) != MOSQ_ERR_SUCCESS) {
            drop();
            return;
        }
        ++unwritten_;
    }

    // A bounded pass, so that the network loop and the status run meanwhile.
    void drain() {
        for (std::size_t n = 0; n < RING_SIZE; ++n) {
            outgoing item;
            if (!ring.pop([&item](const outgoing &o) { item = o; })) {
                return;
            }
            if (item.is_call) {
                const std::size_t index = item.call.call.repeater;
                const repeater_entry rpt =
                    index < REPEATER_SLOTS ? Hytera_RPT.snapshot(index) : repeater_entry{};
                publish("json", render_call_event(item.call, rpt));
            } else {
                lines_.feed(item.text, [this](const char *line, std::size_t length) {
                    publish("log", std::string(line, length));
                });
            }
        }
    }

    void publish_status_if_changed(std::int64_t now) {
        status_snapshot s = gather_status(std::time(nullptr), status_clock_ms(), started_ms_);
        s.mqtt_dropped = static_cast<std::int64_t>(dropped.load(std::memory_order_relaxed));
        std::string key = status_change_key(s);
        if (!status_due_ && key == last_key_ && now - last_status_ms_ < STATUS_EVERY_MS) {
            return;
        }
        status_due_ = false;
        last_key_ = std::move(key);
        last_status_ms_ = now;
        publish("status", render_status_json(s), true);
    }

    // A clean stop: `offline` (retained) replaces `online`, written before the
    // goodbye, then the broker drops the will.
    void close() {
        if (accepting.load(std::memory_order_acquire)) {
            const std::string state = topic("state");
            mosquitto_publish(mosq_, &offline_mid_, state.c_str(), 7, "offline", QOS_STATE, true);
            const std::int64_t until = steady_ms() + 1000;
            while (!offline_written_ && steady_ms() < until &&
                   mosquitto_loop(mosq_, LOOP_WAIT_MS, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        accepting.store(false, std::memory_order_release);
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, LOOP_WAIT_MS, 1);
    }

    mosquitto *mosq_ = nullptr;
    std::string prefix_;
    bool first_try_ = true;
    bool socket_open_ = false;
    bool was_up_ = false;
    bool told_down_ = false;
    int backoff_s_ = 1;
    std::int64_t next_try_ms_ = 0;
    int unwritten_ = 0;
    int offline_mid_ = -1;
    int connack_ = -1; // the broker's answer to the last CONNECT, until handled
    bool offline_written_ = false;
    bool status_due_ = false;
    std::string last_key_;
    std::int64_t last_status_ms_ = 0;
    std::int64_t started_ms_ = status_clock_ms();
    log_line_splitter lines_;
};

} // namespace

void mqtt_start() {
    if (MQTT_address[0] == 0) {
        return;
    }
    ferrule_log("MQTT client on: broker %s:%d, topics %s/json, /log, /status, /state\n",
                MQTT_address, MQTT_port, MQTT_name);
    mosquitto_lib_init();
    running.store(true, std::memory_order_release);
    ferrule_log_set_tap(log_tap, nullptr);
    set_call_event_hook(call_hook);
    worker = std::thread([] {
        session s;
        if (s.open()) {
            s.run();
        }
    });
}

void mqtt_stop() {
    if (!running.exchange(false)) {
        return;
    }
    set_call_event_hook(nullptr);
    ferrule_log_set_tap(nullptr, nullptr);
    worker.join();
    mosquitto_lib_cleanup();
}

std::int64_t mqtt_dropped_total() {
    return MQTT_address[0] == 0
               ? -1
               : static_cast<std::int64_t>(dropped.load(std::memory_order_relaxed));
}

// A build without the MQTT client (FERRULE_MQTT=OFF): the settings are read
// as ever, and a configured broker is reported as missing.
#include "app/mqtt_client.h"

#include "core/log.h"
#include "core/settings.h"

void mqtt_start() {
    if (MQTT_address[0] != 0) {
        ferrule_log("MQTT off: this build has no MQTT client (FERRULE_MQTT=OFF)\n");
    }
}

void mqtt_stop() {}

std::int64_t mqtt_dropped_total() {
    return -1;
}

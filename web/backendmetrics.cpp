#include "web/cgatewaybackend.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "gateway/cgateway.h"
#include "store/cgatewaycounters.h"

std::string CGatewayBackend::metrics(bool _perDevice)
{
    using namespace prometheus;
    Registry registry;
    BuildGauge().Name("kelvara_build_info").Help("The running program's version.").Register(registry)
        .Add({ { "version", KELVARA_VERSION } }).Set(1);
    auto &received = BuildCounter().Name("kelvara_uplinks_received_total")
                         .Help("Uplinks taken from the network server, by link.").Register(registry);
    received.Add({ { "source", "websocket" } }).Increment(double(counters->uplinks(false)));
    received.Add({ { "source", "mqtt" } }).Increment(double(counters->uplinks(true)));
    auto &refusedFamily = BuildCounter().Name("kelvara_uplinks_refused_total")
                              .Help("Uplinks not decoded, by reason.").Register(registry);
    const char *reasons[] = { "unknown_device", "malformed", "undecodable" };
    for (int reason = 0; reason < CGatewayCounters::REFUSAL_COUNT; ++reason)
        refusedFamily.Add({ { "reason", reasons[reason] } })
            .Increment(double(counters->refused(CGatewayCounters::ERefusal(reason))));
    auto &downlinkFamily = BuildCounter().Name("kelvara_downlinks_total")
                               .Help("Downlinks from Modbus writes, by result.").Register(registry);
    const char *results[] = { "accepted", "refused", "failed" };
    for (int result = 0; result < CGatewayCounters::DOWNLINK_RESULT_COUNT; ++result)
        downlinkFamily.Add({ { "result", results[result] } })
            .Increment(double(counters->downlinkCount(CGatewayCounters::EDownlinkResult(result))));
    auto &requestFamily = BuildCounter().Name("kelvara_modbus_requests_total")
                              .Help("Modbus requests answered, by function code.").Register(registry);
    auto &exceptionFamily = BuildCounter().Name("kelvara_modbus_exceptions_total")
                                .Help("Modbus exception answers, by exception code.").Register(registry);
    for (int code = 0; code < 256; ++code) {
        if (const quint64 count = counters->modbusRequestCount(quint8(code)))
            requestFamily.Add({ { "function", std::to_string(code) } }).Increment(double(count));
        if (const quint64 count = counters->modbusExceptionCount(quint8(code)))
            exceptionFamily.Add({ { "code", std::to_string(code) } }).Increment(double(count));
    }
    BuildGauge().Name("kelvara_modbus_connections").Help("Open Modbus client connections.").Register(registry)
        .Add({}).Set(gateway->modbusConnectionCount());
    BuildGauge().Name("kelvara_network_server_connected").Help("1 while logged in to the network server.")
        .Register(registry).Add({}).Set(serverStatus == COMM::eSuccess ? 1 : 0);
    const auto bounds = CGatewayCounters::WRITE_BUCKETS;
    auto &writes = BuildHistogram().Name("kelvara_store_write_seconds").Help("Time of each write of the store.")
                       .Register(registry)
                       .Add({}, Histogram::BucketBoundaries(bounds.begin(), bounds.end()));
    const auto buckets = counters->storeWriteBuckets();
    writes.ObserveMultiple(std::vector<double>(buckets.begin(), buckets.end()), counters->storeWriteSeconds());
    const Rows stored = rows();
    int stale = 0;
    auto &lastUplink = BuildGauge().Name("kelvara_device_last_uplink_timestamp_seconds")
                           .Help("Time of each device's last decoded uplink.").Register(registry);
    for (const SDeviceRow &row : *stored) {
        if (gateway->isDeviceStale(row.device.devEui))
            ++stale;
        if (!_perDevice)
            continue;
        const qint64 last = gateway->deviceCounters(row.device.devEui).lastUplinkMs;
        if (last >= 0)
            lastUplink.Add({ { "dev_eui", row.device.devEui.toStdString() } }).Set(double(last) / 1000.0);
    }
    BuildGauge().Name("kelvara_devices").Help("Stored devices.").Register(registry).Add({}).Set(stored->size());
    BuildGauge().Name("kelvara_devices_stale").Help("Devices whose values are stale.").Register(registry)
        .Add({}).Set(stale);
    return TextSerializer().Serialize(registry.Collect());
}

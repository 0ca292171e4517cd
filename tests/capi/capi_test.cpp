// The C interface against the in-process simulator: every function's refusals (status and error text),
// the caller's buffers with capacity and count, and one round trip of each family of operations.
#include <gtest/gtest.h>

#include <norvane/norvane.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "../common/log_test_support.h"
#include "platform/utf8.h"
#include "sim/simulator.h"
#include "wait.h"

namespace {

using testing_support::WaitUntil;

class CApi : public ::testing::Test {
protected:
    void SetUp() override {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(1);
        config.stations = {{100500, "Norvane", {"Now \xF0\x9F\x8E\xB5 live"}, 66, true}};
        ASSERT_TRUE(sim_.Start(config));
        // No local address: the one that routes to the device, which then streams its audio there.
        ASSERT_EQ(nv_tuner_open("127.0.0.1", sim_.DeviceAddress(0).GetPort(), nullptr, 0, &t_), NV_OK)
            << nv_last_error();
    }
    void TearDown() override {
        EXPECT_EQ(nv_tuner_close(t_), NV_OK);
        sim_.Stop();
    }
    Sim::Simulator sim_;
    nv_tuner_t* t_ = nullptr;
};

// Counts the blocks. The first one tries to stop and to close its own tuner; it and the next two take
// 30 ms each, several blocks' worth.
struct Counter {
    nv_tuner_t* tuner = nullptr;
    std::atomic<int> blocks{0};
    std::atomic<size_t> channels{0};
    std::atomic<nv_status_t> stop{-1}, close{-1};
    static void Cb(void* user, const float* const* in, size_t channels, size_t frames) {
        auto* self = static_cast<Counter*>(user);
        self->channels = in[channels - 1][frames - 1] == in[channels - 1][frames - 1] ? channels : 0;
        if (self->blocks == 0) {
            self->stop = nv_tuner_stop(self->tuner);
            self->close = nv_tuner_close(self->tuner);
        }
        if (self->blocks < 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ++self->blocks;
    }
};

TEST_F(CApi, EveryFunctionRefusesNullAndInvalidArgumentsWithAReason) {
    uint32_t u = 0, f[2] = {0, 0};
    int32_t s = 0;
    char text[8];
    nv_device_info_t info;
    nv_quality_t q[1];
    nv_rds_t r[1];
    nv_stream_stats_t st[2];
    const nv_start_settings_t start{0, 0, 20, 10};
    nv_tuner_t* none = nullptr;
    const char* v = nullptr;
    const struct {
        std::function<nv_status_t()> call;
        nv_status_t status;
        const char* says;
    } rows[] = {
        {[&] { return nv_version(nullptr); }, NV_INVALID_ARGUMENT, "nv_version: version is null"},
        {[&] { return nv_tuner_stream_stats(none, st, 2, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_stream_stats(t_, st, 2, &u); }, NV_NOT_CONNECTED, "audio is not running"},
        {[&] { return nv_find_devices(nullptr, 0, "127.0.0.1", 1, 0, nullptr, 0, &u); }, NV_INVALID_ARGUMENT,
         "host_addr is null"},
        {[&] { return nv_find_devices("127.0.0.1", 0, "127.0.0.1", 1, 0, nullptr, 2, &u); },
         NV_INVALID_ARGUMENT, "devices is null"},
        {[&] { return nv_find_devices("256.1.1.1", 0, "127.0.0.1", 1, 1, nullptr, 0, &u); }, NV_FAILED,
         "discovery from 256.1.1.1 failed"},
        {[&] { return nv_find_devices("127.0.0.1", 0, "127.0.0.1", 1, 60001, nullptr, 0, &u); },
         NV_INVALID_ARGUMENT, "a wait of 60001 ms is above 60000"},
        {[&] { return nv_tuner_open("127.0.0.1", 1, "127.0.0.1", 0, nullptr); }, NV_INVALID_ARGUMENT,
         "tuner is null"},
        {[&] { return nv_tuner_open("256.1.1.1", 1, "127.0.0.1", 0, &none); }, NV_FAILED,
         "no connection to 256.1.1.1:1"},
        {[&] { return nv_tuner_open("256.1.1.1", 1, "", 0, &none); }, NV_FAILED,
         "cannot resolve '256.1.1.1'"},
        {[&] { return nv_tuner_close(nullptr); }, NV_NULL_HANDLE, "nv_tuner_close: the tuner handle is null"},
        {[&] { return nv_tuner_device_id(none, text, 8, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_device_id(t_, text, 8, nullptr); }, NV_INVALID_ARGUMENT, "needed is null"},
        {[&] { return nv_tuner_device_id(t_, text, 8, &u); }, NV_BUFFER_TOO_SMALL,
         "room for 8 elements, 12 needed"},
        {[&] { return nv_tuner_info(none, &info); }, NV_NULL_HANDLE, "nv_tuner_info: the tuner"},
        {[&] { return nv_tuner_info(t_, nullptr); }, NV_INVALID_ARGUMENT, "info is null"},
        {[&] { return nv_tuner_state(none, &s); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_state(t_, nullptr); }, NV_INVALID_ARGUMENT, "state is null"},
        {[&] { return nv_tuner_inputs(none, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_inputs(t_, nullptr); }, NV_INVALID_ARGUMENT, "inputs is null"},
        {[&] { return nv_tuner_audio_format(none, &u, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_audio_format(t_, &u, nullptr); }, NV_INVALID_ARGUMENT,
         "frames_per_block is null"},
        {[&] { return nv_tuner_get_freqs(none, 0, f, 2, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_get_freqs(t_, 0, nullptr, 2, &u); }, NV_INVALID_ARGUMENT, "the array is null"},
        {[&] { return nv_tuner_get_freqs(t_, 0, f, 1, &u); }, NV_BUFFER_TOO_SMALL,
         "room for 1 elements, 2 needed"},
        {[&] { return nv_tuner_set_freqs(none, f, 2); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_set_freqs(t_, nullptr, 2); }, NV_INVALID_ARGUMENT, "freqs is null"},
        {[&] { return nv_tuner_set_freqs(t_, f, 3); }, NV_INVALID_ARGUMENT, "3 frequencies for 2 tuners"},
        {[&] { return nv_tuner_quality(t_, 0, q, 1, &u); }, NV_BUFFER_TOO_SMALL,
         "nv_tuner_quality: room for 1"},
        {[&] { return nv_tuner_quality(none, 0, q, 1, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_rds(none, 0, r, 1, &u); }, NV_NULL_HANDLE, "handle is null"},
        {[&] { return nv_tuner_rds(t_, 0, r, 1, nullptr); }, NV_INVALID_ARGUMENT, "count is null"},
        {[&] { return nv_tuner_start(none, &start, Counter::Cb, nullptr); }, NV_NULL_HANDLE,
         "handle is null"},
        {[&] { return nv_tuner_start(t_, nullptr, Counter::Cb, nullptr); }, NV_INVALID_ARGUMENT,
         "settings is null"},
        {[&] { return nv_tuner_start(t_, &start, nullptr, nullptr); }, NV_INVALID_ARGUMENT, "cb is null"},
        {[&] { return nv_tuner_stop(none); }, NV_NULL_HANDLE, "nv_tuner_stop: the tuner handle is null"},
    };
    testing_support::LogCapture log;
    for (const auto& row : rows) {
        ASSERT_EQ(nv_version(&v), NV_OK);  // a success clears the text
        ASSERT_STREQ(nv_last_error(), "");
        EXPECT_EQ(row.call(), row.status) << row.says;
        EXPECT_NE(std::string(nv_last_error()).find(row.says), std::string::npos) << nv_last_error();
        EXPECT_EQ(log.Containing(L"C interface: " + Utf8ToWide(nv_last_error())).size(), 1u)
            << "the debug log has the same reason: " << nv_last_error();
    }
    EXPECT_EQ(u, 2u) << "the count needed is reported with a too-small buffer";
}

TEST_F(CApi, DiscoveryWaitsAsAskedAndReportsTheCountNeededBeyondTheCallersArray) {
    nv_device_t d[1];
    uint32_t count = 0;
    const uint16_t port = sim_.DiscoveryAddress().GetPort();
    EXPECT_EQ(nv_find_devices("127.0.0.1", 0, "127.0.0.1", port, 0, d, 0, &count), NV_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(nv_find_devices("127.0.0.1", 0, "127.0.0.1", port, 400, d, 1, &count), NV_OK);
    EXPECT_EQ(count, 1u) << "a loopback device answers well within 400 ms";
    EXPECT_EQ(std::string(d[0].info.unit_id), Sim::DefaultUnitId(0));
    EXPECT_EQ(d[0].port, sim_.DeviceAddress(0).GetPort());
}

TEST_F(CApi, InfoTuneQualityAndRdsRoundTrip) {
    nv_device_info_t info;
    ASSERT_EQ(nv_tuner_info(t_, &info), NV_OK);
    EXPECT_EQ(std::string(info.unit_id), Sim::DefaultUnitId(0));
    const uint32_t tune[2] = {100500, 94300};
    ASSERT_EQ(nv_tuner_set_freqs(t_, tune, 2), NV_OK) << nv_last_error();
    uint32_t f[3] = {0, 0, 7}, count = 0;
    ASSERT_EQ(nv_tuner_get_freqs(t_, 1, f, 3, &count), NV_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(f[0] + f[1] * 1000000ull + f[2], 100500 + 94300 * 1000000ull + 7) << "the third is not written";
    nv_quality_t q[2];
    ASSERT_EQ(nv_tuner_quality(t_, 1, q, 2, &count), NV_OK);
    EXPECT_EQ(q[0].rssi, static_cast<uint32_t>(sim_.Tuners(0)[0].quality.rssi));
    nv_rds_t r[2];
    ASSERT_EQ(nv_tuner_rds(t_, 1, r, 2, &count), NV_OK);
    EXPECT_STREQ(r[0].psrv, "Norvane");
    EXPECT_STREQ(r[0].text, "Now \xF0\x9F\x8E\xB5 live");
}

TEST_F(CApi, AudioGoesOnThroughSlowBlocksAndRefusedStopAndCloseFromItsOwnCallback) {
    Counter counter;
    counter.tuner = t_;
    const nv_start_settings_t start{0, 0, 20, 10};
    ASSERT_EQ(nv_tuner_start(t_, &start, Counter::Cb, &counter), NV_OK) << nv_last_error();
    EXPECT_TRUE(WaitUntil([&] { return counter.blocks > 200; }, std::chrono::seconds(30)));
    EXPECT_EQ(counter.channels, 4u);
    EXPECT_EQ(sim_.InputRoutes(0).at(0).AddrToString(), L"127.0.0.1") << "the route's local address, not any";
    EXPECT_EQ(counter.stop.load(), NV_FAILED) << "a stop that cannot happen is not a success";
    EXPECT_EQ(counter.close.load(), NV_FAILED);
    nv_stream_stats_t st[2];
    uint32_t count = 0;
    ASSERT_EQ(nv_tuner_stream_stats(t_, st, 1, &count), NV_BUFFER_TOO_SMALL);
    ASSERT_EQ(nv_tuner_stream_stats(t_, st, 2, &count), NV_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_GT(st[1].packets_received, 0u);
    ASSERT_EQ(nv_tuner_stop(t_), NV_OK);
    const int after = counter.blocks;
    int32_t state = -1;
    EXPECT_EQ(nv_tuner_state(t_, &state), NV_OK);
    EXPECT_EQ(state, NV_STATE_CONNECTED);
    EXPECT_EQ(counter.blocks, after) << "no block after stop returned";
}

}  // namespace

// The public header must compile on its own: it is included first.
#include <norvane/sdk.h>

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace {

using namespace Norvane::SDK;

TEST(Records, DefaultsAreTheDocumentedOnes) {
    DeviceInitSettings init;
    EXPECT_EQ(init.device_port, 15001);
    EXPECT_EQ(init.host_port, 0);
    EXPECT_TRUE(init.device_addr.empty());

    DeviceInfoEx ex;
    EXPECT_EQ(ex.port, 15001);
    EXPECT_TRUE(ex.unit_id.empty());
    for (uint32_t v : {ex.hardware, ex.firmware, ex.software, ex.audio_protocol, ex.control_protocol,
                       ex.rtp_port, ex.inputs, ex.device_freq}) {
        EXPECT_EQ(v, 0u);
    }

    DeviceStartSettings start;
    EXPECT_EQ(start.buffer_window, 20u);
    EXPECT_EQ(start.start_latency, 10u);
    EXPECT_EQ(start.rtp_base_port, 0);
    EXPECT_FALSE(start.on_audio);
    EXPECT_FALSE(start.on_buffers);
}

TEST(Records, DeviceInfoExKeepsTheBaseFieldsFirst) {
    static_assert(std::is_base_of_v<DeviceInfo, DeviceInfoEx>);
    DeviceInfoEx ex;
    ex.unit_id = "KX410-0042";
    ex.inputs = 2;
    ex.address = "192.0.2.7";
    ex.port = 15003;
    DeviceInfo& base = ex;
    EXPECT_EQ(base.unit_id, "KX410-0042");
    EXPECT_EQ(base.inputs, 2u);
}

TEST(Records, ClearResetsEveryField) {
    Kx410TunerQualityValues q;
    q.rssi = 1;
    q.snr = 2;
    q.multipath = 3;
    q.pilot = 4;
    q.valid = 5;
    q.Clear();
    EXPECT_EQ(q.rssi + q.snr + q.multipath + q.pilot + q.valid, 0u);

    Kx410TunerRdsDataValues r;
    r.psrv = L"a";
    r.text = L"b";
    r.time = L"c";
    r.Clear();
    EXPECT_TRUE(r.psrv.empty());
    EXPECT_TRUE(r.text.empty());
    EXPECT_TRUE(r.time.empty());
}

TEST(Records, EnumerationsHaveTheProtocolNumbers) {
    static_assert(sizeof(DeviceState) == 4 && sizeof(DeviceType) == 4);
    EXPECT_EQ(static_cast<uint32_t>(Disconnected), 0u);
    EXPECT_EQ(static_cast<uint32_t>(Connected), 1u);
    EXPECT_EQ(static_cast<uint32_t>(RtpActive), 2u);
    EXPECT_EQ(static_cast<uint32_t>(KX260), 0u);
    EXPECT_EQ(static_cast<uint32_t>(KX410), 1u);
    EXPECT_EQ(static_cast<uint32_t>(KX9), 2u);
}

TEST(Records, InterfaceIsAbstractWithSlotsInOrder) {
    static_assert(std::is_abstract_v<IKx410>);
    static_assert(std::has_virtual_destructor_v<IKx410>);
    EXPECT_STREQ(GetSdkVersion(), NORVANE_VERSION);
}

}  // namespace

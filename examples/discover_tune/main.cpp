// discover_tune: finds the FM tuners that answer on the network, connects to the first one, tunes every
// tuner to one frequency and shows what the tuners receive.
//
//     discover_tune LOCAL_ADDRESS[:PORT] BROADCAST_ADDRESS[:PORT] [FREQUENCY_KHZ]
//
// LOCAL_ADDRESS is this computer's address on the devices' network; the program reads the discovery
// answers on its PORT (15002 unless given) and talks to the device from PORT + 1. BROADCAST_ADDRESS is
// normally the network's broadcast address, with the devices' control port 15001 unless another is
// given. The frequency is in kHz (100500 = 100.5 MHz).
#include <norvane/sdk.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace SDK = Norvane::SDK;

// Splits "host:port"; `port` keeps its value when no port is given. False for a port out of range.
bool SplitEndpoint(std::string& text, unsigned& port) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return true;
    }
    port = static_cast<unsigned>(std::strtoul(text.c_str() + colon + 1, nullptr, 10));
    text.resize(colon);
    return port != 0 && port < 65535;
}

// The RDS texts are wide strings: UTF-16 where wchar_t has 16 bits (Windows), one character per wchar_t
// where it has 32 bits (Linux); printed as UTF-8.
std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto cp = static_cast<unsigned long>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            const auto low = static_cast<unsigned long>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

int Usage(const char* program) {
    std::fprintf(stderr, "usage: %s LOCAL_ADDRESS[:PORT] BROADCAST_ADDRESS[:PORT] [FREQUENCY_KHZ]\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        return Usage(argv[0]);
    }
    std::string local = argv[1];
    unsigned localPort = 15002;
    std::string target = argv[2];
    unsigned port = 15001;
    const unsigned freq = argc == 4 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 100500;
    if (!SplitEndpoint(local, localPort) || !SplitEndpoint(target, port) || freq == 0) {
        return Usage(argv[0]);
    }

    std::printf("Searching for devices (3 s)...\n");
    std::vector<SDK::DeviceInfoEx> devices;
    if (!SDK::FindActiveDevices(local, localPort, target, port, devices)) {
        std::fprintf(stderr, "discovery failed (see the SDK's debug log)\n");
        return 1;
    }
    for (const auto& d : devices) {
        std::printf("  %s at %s:%u, %u tuners\n", d.unit_id.c_str(), d.address.c_str(), d.port, d.inputs);
    }
    if (devices.empty()) {
        std::fprintf(stderr, "no device answered\n");
        return 1;
    }

    std::unique_ptr<SDK::IKx410> tuner(SDK::CreateKx410());
    SDK::DeviceInitSettings settings;
    settings.device_addr = devices[0].address;
    settings.device_port = devices[0].port;
    settings.host_addr = local;
    settings.host_port = static_cast<std::uint16_t>(localPort + 1);
    if (!tuner || !tuner->Init(settings)) {
        std::fprintf(stderr, "could not connect to %s\n", devices[0].unit_id.c_str());
        return 1;
    }
    const unsigned n = tuner->GetInputs();
    std::printf("Connected to %s (%u tuners, %u Hz)\n", tuner->GetDeviceId().c_str(), n,
                tuner->GetSampleFreq());

    const std::vector<unsigned int> wanted(n, freq);
    if (!tuner->SetFmFreq(wanted.data())) {
        std::fprintf(stderr, "tuning failed\n");
        return 1;
    }
    std::vector<unsigned int> freqs(n);
    std::vector<SDK::Kx410TunerQualityValues> quality(n);
    std::vector<SDK::Kx410TunerRdsDataValues> rds(n);
    if (!tuner->GetFmFreq(freqs.data(), false) || !tuner->GetFmQuality(quality.data(), true) ||
        !tuner->GetRdsData(rds.data(), true)) {
        std::fprintf(stderr, "reading the tuners failed\n");
        return 1;
    }
    for (unsigned i = 0; i < n; ++i) {
        std::printf("Tuner %u: %u kHz  rssi=%u snr=%u valid=%u  \"%s\"  %s\n", i, freqs[i], quality[i].rssi,
                    quality[i].snr, quality[i].valid, ToUtf8(rds[i].psrv).c_str(),
                    ToUtf8(rds[i].text).c_str());
    }
    tuner->Close();
    return 0;
}

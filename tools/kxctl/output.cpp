// What kxctl prints: aligned tables for people, compact JSON for scripts.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/safe_text.h"
#include "devices/device_text.h"
#include "json/writer.h"
#include "kxctl/kxctl_lib.h"
#include "platform/utf8.h"

namespace Kxctl {

using Norvane::SDK::DeviceInfo;
using Norvane::SDK::DeviceInfoEx;

namespace {

// Device texts end up on a terminal: every control character (C0, DEL, C1, the marks and overrides
// that reorder text) and every byte of broken UTF-8 becomes U+FFFD, so no text can move the cursor,
// set the title, clear the screen or make one column look like another.
std::string Printable(std::string_view text) {
    return SafeText(text);
}

std::string Number(std::uint64_t n) {
    return std::to_string(n);
}

std::wstring Wide(const std::string& utf8) {
    return Utf8ToWide(utf8);
}

void PutInfoFields(JSON::Value& object, const DeviceInfo& info) {
    object[L"unit_id"].SetString(Wide(info.unit_id));
    object[L"hardware"].SetInt(info.hardware);
    object[L"firmware"].SetInt(info.firmware);
    object[L"software"].SetInt(info.software);
    object[L"audio_protocol"].SetInt(info.audio_protocol);
    object[L"control_protocol"].SetInt(info.control_protocol);
    object[L"rtp_port"].SetInt(info.rtp_port);
    object[L"inputs"].SetInt(info.inputs);
    object[L"device_freq"].SetInt(info.device_freq);
}

// The words of the audio interface's values (AudioInterfaceReading), by number.
template <std::size_t N>
std::string Word(const char* const (&words)[N], std::uint32_t value) {
    return value < N ? words[value] : "unknown (" + Number(value) + ")";
}
constexpr const char* kSelectWords[] = {"analog", "digital (AES)"};
constexpr const char* kGainWords[] = {"+4 dBu", "-10 dBu"};
constexpr const char* kBypassWords[] = {"none", "not reported", "off", "on"};

void PutTuners(JSON::Value& array, const std::vector<TunerReading>& tuners) {
    array.ClearArray();
    for (std::size_t i = 0; i < tuners.size(); ++i) {
        const TunerReading& t = tuners[i];
        JSON::Value& item = array[static_cast<std::uint64_t>(i)];
        item[L"freq"].SetInt(t.freq);
        if (t.quality) {
            item[L"rssi"].SetInt(t.quality->rssi);
            item[L"snr"].SetInt(t.quality->snr);
            item[L"multipath"].SetInt(t.quality->multipath);
            item[L"pilot"].SetInt(t.quality->pilot);
            item[L"valid"].SetInt(t.quality->valid);
        }
        if (t.rds) {
            // Through UTF-8 and back: a text that is not valid Unicode becomes empty on its own, and
            // never empties the whole document.
            item[L"psrv"].SetString(Wide(RdsText(t.rds->psrv)));
            item[L"text"].SetString(Wide(RdsText(t.rds->text)));
            item[L"time"].SetString(Wide(RdsText(t.rds->time)));
        }
    }
}

// "Label   value" lines with the values in one column.
std::string KeyValues(const std::vector<std::pair<std::string, std::string>>& lines) {
    std::size_t width = 0;
    for (const auto& [key, value] : lines) {
        width = std::max(width, TextWidth(key));
    }
    std::string out;
    for (const auto& [key, value] : lines) {
        out += key;
        out.append(width - TextWidth(key) + 2, ' ');
        out += value;
        out += '\n';
    }
    return out;
}

}  // namespace

std::size_t TextWidth(std::string_view utf8) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t len = 1;
        if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
        } else if (lead >= 0xE0) {
            len = lead <= 0xEF ? 3 : 1;
        } else if (lead >= 0xC2) {
            len = 2;
        }
        // A sequence cut short, or with a byte that does not continue it, counts byte by byte.
        bool whole = i + len <= utf8.size();
        for (std::size_t k = 1; whole && k < len; ++k) {
            whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        }
        i += whole ? len : 1;
        ++n;
    }
    return n;
}

std::string FormatTable(const std::vector<std::string>& headers,
                        const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(headers.size(), 0);
    for (std::size_t c = 0; c < headers.size(); ++c) {
        widths[c] = TextWidth(headers[c]);
    }
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], TextWidth(row[c]));
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const std::string cell = c < cells.size() ? cells[c] : std::string();
            if (c > 0) {
                text.append(2, ' ');
            }
            text += cell;
            text.append(widths[c] - TextWidth(cell), ' ');
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text + '\n';
    };
    std::string out = line(headers);
    for (const auto& row : rows) {
        out += line(row);
    }
    return out;
}

std::string FormatMHz(std::uint32_t khz) {
    std::string text = Number(khz / 1000);
    std::uint32_t rest = khz % 1000;
    if (rest != 0) {
        char digits[8];
        std::snprintf(digits, sizeof(digits), "%03u", static_cast<unsigned>(rest));
        std::string fraction(digits);
        while (fraction.back() == '0') {
            fraction.pop_back();
        }
        text += '.' + fraction;
    }
    return text + " MHz";
}

std::string RdsText(const std::wstring& text) {
    return WideToUtf8(text);
}

std::string DevicesTable(const std::vector<DeviceInfoEx>& devices) {
    std::vector<std::vector<std::string>> rows;
    for (const DeviceInfoEx& d : devices) {
        rows.push_back({Printable(d.unit_id), Printable(d.address) + ":" + Number(d.port), Number(d.inputs),
                        Number(d.hardware), Number(d.firmware), Number(d.software), Number(d.audio_protocol),
                        Number(d.control_protocol), Number(d.rtp_port)});
    }
    return FormatTable({"UNIT ID", "ADDRESS", "TUNERS", "HARDWARE", "FIRMWARE", "SOFTWARE", "AUDIO PROTO",
                        "CONTROL PROTO", "RTP PORT"},
                       rows);
}

std::string TunersTable(const std::vector<TunerReading>& tuners) {
    const bool quality = std::any_of(tuners.begin(), tuners.end(),
                                     [](const TunerReading& t) { return t.quality.has_value(); });
    const bool rds =
        std::any_of(tuners.begin(), tuners.end(), [](const TunerReading& t) { return t.rds.has_value(); });
    std::vector<std::string> headers = {"TUNER", "FREQUENCY"};
    if (quality) {
        headers.insert(headers.end(), {"RSSI", "SNR", "MULTIPATH", "PILOT", "VALID"});
    }
    if (rds) {
        headers.insert(headers.end(), {"PS NAME", "RADIOTEXT", "TIME"});
    }
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < tuners.size(); ++i) {
        const TunerReading& t = tuners[i];
        std::vector<std::string> row = {Number(i + 1), FormatMHz(t.freq)};
        if (quality) {
            if (t.quality) {
                row.insert(row.end(),
                           {Number(t.quality->rssi), Number(t.quality->snr), Number(t.quality->multipath),
                            Number(t.quality->pilot), Number(t.quality->valid)});
            } else {
                row.insert(row.end(), 5, "-");
            }
        }
        if (rds) {
            if (t.rds) {
                row.insert(row.end(), {Printable(RdsText(t.rds->psrv)), Printable(RdsText(t.rds->text)),
                                       Printable(RdsText(t.rds->time))});
            } else {
                row.insert(row.end(), 3, "-");
            }
        }
        rows.push_back(std::move(row));
    }
    return FormatTable(headers, rows);
}

std::string DeviceReportText(const DeviceReport& report, const Endpoint& device, const Endpoint& local) {
    const DeviceInfo& info = report.info;
    std::vector<std::pair<std::string, std::string>> lines = {
        {"Device", Printable(info.unit_id)},
        {"Address", device.ToString() + " (local end " + local.ToString() + ")"},
        {"State", WideToUtf8(Norvane::DeviceStateToText(report.state))},
        {report.model == Norvane::SDK::KX410 ? "Tuners" : "Inputs", Number(info.inputs)},
        {"Sample rate", info.device_freq != 0 ? Number(info.device_freq) + " Hz" : "not reported"},
        {"Frames per block", Number(report.frames_per_block)},
        {"Versions", "hardware " + Number(info.hardware) + ", firmware " + Number(info.firmware) +
                         ", software " + Number(info.software)},
        {"Protocols", "audio " + Number(info.audio_protocol) + ", control " + Number(info.control_protocol)},
        {"RTP port", Number(info.rtp_port)},
    };
    if (const auto& a = report.audio_interface) {
        lines.insert(lines.end(),
                     {{"Model", "KX260 audio interface"},
                      {"Input", Word(kSelectWords, a->select) + ", " + Word(kGainWords, a->gain) + ", " +
                                    Number(a->input_freq) + " Hz"},
                      {"Bypass", Word(kBypassWords, a->bypass)}});
    }
    if (const auto& c = report.clock) {
        lines.insert(lines.end(), {{"Model", "KX9 clock device, set by the host when it asks for the time"},
                                   {"Time requests", Number(c->time_requests_answered) + " answered, " +
                                                         Number(c->time_requests_dropped) +
                                                         " dropped while an answer was on its way"}});
    }
    std::string text = KeyValues(lines);
    if (!report.tuners.empty()) {
        text += '\n';
        text += TunersTable(report.tuners);
    }
    return text;
}

JSON::Value DevicesJson(const std::vector<DeviceInfoEx>& devices) {
    JSON::Value root;
    JSON::Value& list = root[L"devices"];
    list.ClearArray();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        JSON::Value& item = list[static_cast<std::uint64_t>(i)];
        PutInfoFields(item, devices[i]);
        item[L"address"].SetString(Wide(devices[i].address));
        item[L"port"].SetInt(devices[i].port);
    }
    return root;
}

JSON::Value DeviceReportJson(const DeviceReport& report) {
    JSON::Value root;
    PutInfoFields(root, report.info);
    root[L"state"].SetString(Norvane::DeviceStateToText(report.state));
    root[L"frames_per_block"].SetInt(report.frames_per_block);
    if (report.model == Norvane::SDK::KX410) {
        PutTuners(root[L"tuners"], report.tuners);
        return root;
    }
    root[L"model"].SetString(Norvane::DeviceTypeToText(report.model));
    if (const auto& a = report.audio_interface) {
        JSON::Value& input = root[L"input"];
        input[L"select"].SetString(Wide(Word(kSelectWords, a->select)));
        input[L"gain"].SetString(Wide(Word(kGainWords, a->gain)));
        input[L"freq"].SetInt(a->input_freq);
        root[L"bypass"].SetString(Wide(Word(kBypassWords, a->bypass)));
    }
    if (const auto& c = report.clock) {
        root[L"time_requests_answered"].SetInt(c->time_requests_answered);
        root[L"time_requests_dropped"].SetInt(c->time_requests_dropped);
    }
    return root;
}

JSON::Value TunersJson(const std::vector<TunerReading>& tuners) {
    JSON::Value root;
    PutTuners(root[L"tuners"], tuners);
    return root;
}

std::string JsonText(const JSON::Value& value) {
    return WideToUtf8(JSON::GenerateText(value));
}

}  // namespace Kxctl

// Parse and print three control messages of different sizes with our JSON library, beside two widely
// used JSON libraries, and format doubles three ways.
//
// Our parse takes the UTF-8 datagram text (as it arrives) into a JSON::Value; our print makes the wide
// text and, in the "Utf8" variants, the UTF-8 bytes that are sent.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

#include "json/parser.h"
#include "json/writer.h"
#include "platform/utf8.h"

namespace {

// A "state" datagram: the device's sample frequency and its inputs.
const std::string kState =
    R"({"device_freq":48000,"inputs":[{"freq":48000,"gain":"+4dBu","select":"analog"},)"
    R"({"freq":44100,"gain":"-10dBu","select":"aes"}],"msg":"state","msg_id":12})";

// An "fm_freq" answer of a device with two tuners.
const std::string kFmFreq = R"({"ack_msg_id":4711,"freq":[87500,104300],"msg":"fm_freq","msg_id":1234567})";

// An "rds_data" answer of a device with eight tuners, about 1 KB.
std::string MakeRdsData() {
    const char* stations[] = {"RADIO 1 ", "KLASSIK ", "JAZZ FM ", "NEWS 24 ",
                              "ROCK ON ", "POP HITS", "WELLE 7 ", "CITY FM "};
    std::string s = R"({"msg":"rds_data","msg_id":98765,"psrv":[)";
    for (int i = 0; i < 8; ++i) {
        s += (i ? ",\"" : "\"") + std::string(stations[i]) + "\"";
    }
    s += R"(],"text":[)";
    for (int i = 0; i < 8; ++i) {
        s += std::string(i ? "," : "") + "\"Now playing: Artist " + std::to_string(i) +
             " - A song title with caf\xC3\xA9 and \\\"quotes\\\" / more\"";
    }
    s += R"(],"time":[)";
    for (int i = 0; i < 8; ++i) {
        s += std::string(i ? "," : "") + "\"2024/01/25 19:04:2" + std::to_string(i) + ".015\"";
    }
    s += "]}";
    return s;
}

const std::string kRdsData = MakeRdsData();

const std::string& Message(int64_t which) {
    switch (which) {
        case 0:
            return kState;
        case 1:
            return kFmFreq;
        default:
            return kRdsData;
    }
}

void Label(benchmark::State& state) {
    static const char* names[] = {"state", "fm_freq", "rds_data"};
    const std::string& m = Message(state.range(0));
    state.SetLabel(std::string(names[state.range(0)]) + " " + std::to_string(m.size()) + " B");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(m.size()));
}

// ---- parse ----

void BM_Parse_Ours(benchmark::State& state) {
    const std::string& text = Message(state.range(0));
    for (auto _ : state) {
        JSON::Value v;
        bool ok = JSON::ParseText(text, v);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(v);
    }
    Label(state);
}

void BM_Parse_OursWide(benchmark::State& state) {
    // Without the UTF-8 conversion in front.
    const std::wstring text = Utf8ToWide(Message(state.range(0)));
    for (auto _ : state) {
        JSON::Value v;
        bool ok = JSON::ParseText(text, v);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(v);
    }
    Label(state);
}

void BM_Parse_RapidJson(benchmark::State& state) {
    const std::string& text = Message(state.range(0));
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(text.c_str(), text.size());
        benchmark::DoNotOptimize(d.HasParseError());
        benchmark::DoNotOptimize(d);
    }
    Label(state);
}

void BM_Parse_Nlohmann(benchmark::State& state) {
    const std::string& text = Message(state.range(0));
    for (auto _ : state) {
        nlohmann::json j = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(j);
    }
    Label(state);
}

// ---- print ----

void BM_Print_Ours(benchmark::State& state) {
    JSON::Value v;
    if (!JSON::ParseText(Message(state.range(0)), v)) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        std::wstring text = JSON::GenerateText(v);
        benchmark::DoNotOptimize(text);
    }
    Label(state);
}

void BM_Print_OursUtf8(benchmark::State& state) {
    JSON::Value v;
    if (!JSON::ParseText(Message(state.range(0)), v)) {
        state.SkipWithError("parse failed");
        return;
    }
    for (auto _ : state) {
        std::string bytes = WideToUtf8(JSON::GenerateText(v));
        benchmark::DoNotOptimize(bytes);
    }
    Label(state);
}

void BM_Print_RapidJson(benchmark::State& state) {
    rapidjson::Document d;
    d.Parse(Message(state.range(0)).c_str());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    Label(state);
}

void BM_Print_Nlohmann(benchmark::State& state) {
    nlohmann::json j = nlohmann::json::parse(Message(state.range(0)));
    for (auto _ : state) {
        std::string text = j.dump();
        benchmark::DoNotOptimize(text);
    }
    Label(state);
}

BENCHMARK(BM_Parse_Ours)->DenseRange(0, 2);
BENCHMARK(BM_Parse_OursWide)->DenseRange(0, 2);
BENCHMARK(BM_Parse_RapidJson)->DenseRange(0, 2);
BENCHMARK(BM_Parse_Nlohmann)->DenseRange(0, 2);
BENCHMARK(BM_Print_Ours)->DenseRange(0, 2);
BENCHMARK(BM_Print_OursUtf8)->DenseRange(0, 2);
BENCHMARK(BM_Print_RapidJson)->DenseRange(0, 2);
BENCHMARK(BM_Print_Nlohmann)->DenseRange(0, 2);

// ---- doubles ----

const std::vector<double>& SampleDoubles() {
    static const std::vector<double> doubles = [] {
        std::mt19937_64 random(42);
        std::vector<double> v;
        while (v.size() < 1024) {
            uint64_t bits = random();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            if (std::isfinite(d)) {
                v.push_back(d);
            }
        }
        return v;
    }();
    return doubles;
}

void BM_Double_FormatDouble(benchmark::State& state) {
    const auto& doubles = SampleDoubles();
    char buffer[JSON::kFormatDoubleBufferSize];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(JSON::FormatDouble(doubles[i++ & 1023], buffer));
    }
}

void BM_Double_Snprintf17g(benchmark::State& state) {
    const auto& doubles = SampleDoubles();
    char buffer[64];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%.17g", doubles[i++ & 1023]));
    }
}

void BM_Double_ToChars(benchmark::State& state) {
    const auto& doubles = SampleDoubles();
    char buffer[64];
    size_t i = 0;
    for (auto _ : state) {
        auto r = std::to_chars(buffer, buffer + sizeof buffer, doubles[i++ & 1023]);
        benchmark::DoNotOptimize(r.ptr);
    }
}

BENCHMARK(BM_Double_FormatDouble);
BENCHMARK(BM_Double_Snprintf17g);
BENCHMARK(BM_Double_ToChars);

}  // namespace

BENCHMARK_MAIN();

// The debug log against spdlog: what one Write costs the calling thread, and how many records a second
// reach the disk.
//
// Every logger writes one file in a folder of its own under the temporary folder (no rotation, no rate
// limit). The line is 80 characters with two integers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/cdebug_log.h"
#include "platform/utf8.h"

#ifdef NORVANE_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace fs = std::filesystem;

namespace {

// 80 characters once both numbers are filled in (5 digits each).
constexpr wchar_t kWideFormat[] =
    L"RtpManager \"main\": Recv[%d] packet seq = %05d jitter buffer ok, no late packets.";
constexpr char kFmtFormat[] =
    "RtpManager \"main\": Recv[{}] packet seq = {:05d} jitter buffer ok, no late packets.";

class BenchFolder {
public:
    BenchFolder() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("norvane-logbench-" + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~BenchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A debug log writing one file, without rotation, clean-up limits or rate limit.
std::unique_ptr<CDebugLog> MakeLog(const BenchFolder& folder) {
    const fs::path settings = folder.path() / "bench.log_settings.json";
    {
        std::ofstream out(settings, std::ios::binary);
        out << "{\"LogFolderPath\": \"" << folder.path().string()
            << "\", \"LogSegmentSize\": 0, \"TotalBytesLimit\": 0, \"MaxDaysKeepAlive\": 0,"
               " \"EntriesPerMinute\": 0}";
    }
    DebugLogOptions options;
    options.appFolder = folder.path();
    options.logName = L"bench";
    options.settingsFile = settings;
    return std::make_unique<CDebugLog>(options);
}

// ---- caller-side cost ---------------------------------------------------------------------------

// Write of a line that is already formatted: time stamp, thread id, one lock, queue.
void BM_Norvane_Write(benchmark::State& state) {
    BenchFolder folder;
    auto log = MakeLog(folder);
    const std::wstring line = FormatLine(kWideFormat, 3, 12345);
    for (auto _ : state) {
        log->Write(line);
    }
    log.reset();  // after the timed loop: drains the queue
    state.SetItemsProcessed(state.iterations());
}

// The whole call site: formatting the line printf-style, then Write.
void BM_Norvane_FormatAndWrite(benchmark::State& state) {
    BenchFolder folder;
    auto log = MakeLog(folder);
    int i = 0;
    for (auto _ : state) {
        log->Write(FormatLine(kWideFormat, i & 7, i & 0xFFFF));
        ++i;
    }
    log.reset();  // after the timed loop: drains the queue
    state.SetItemsProcessed(state.iterations());
}

#ifdef NORVANE_HAVE_SPDLOG
void BM_Spdlog_Async(benchmark::State& state) {
    BenchFolder folder;
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto sink =
        std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder.path() / "spdlog.log").string(), true);
    auto logger =
        std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
    int i = 0;
    for (auto _ : state) {
        logger->info(kFmtFormat, i & 7, i & 0xFFFF);
        ++i;
    }
    logger.reset();
    pool.reset();
    state.SetItemsProcessed(state.iterations());
}

void BM_Spdlog_SyncFile(benchmark::State& state) {
    BenchFolder folder;
    auto sink =
        std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder.path() / "spdlog.log").string(), true);
    auto logger = std::make_shared<spdlog::logger>("bench", sink);
    int i = 0;
    for (auto _ : state) {
        logger->info(kFmtFormat, i & 7, i & 0xFFFF);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
#endif

// ---- sustained records per second to disk -------------------------------------------------------
// Each iteration writes a batch of records and ends when the last of them is in the file (the log is
// destroyed, which drains the queue and closes the file).

constexpr int kBatch = 200000;

void BM_Norvane_SustainedToDisk(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        BenchFolder folder;
        auto log = MakeLog(folder);
        log->Flush(std::chrono::seconds(10));  // the file is open
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < kBatch / threads; ++i) {
                    log->Write(FormatLine(kWideFormat, t, i & 0xFFFF));
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
        log.reset();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

#ifdef NORVANE_HAVE_SPDLOG
void BM_Spdlog_Async_SustainedToDisk(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        BenchFolder folder;
        auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
            (folder.path() / "spdlog.log").string(), true);
        auto logger =
            std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < kBatch / threads; ++i) {
                    logger->info(kFmtFormat, t, i & 0xFFFF);
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
        logger.reset();
        pool.reset();  // joins the worker once the queue is empty
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Spdlog_SyncFile_SustainedToDisk(benchmark::State& state) {
    for (auto _ : state) {
        BenchFolder folder;
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
            (folder.path() / "spdlog.log").string(), true);
        auto logger = std::make_shared<spdlog::logger>("bench", sink);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) {
            logger->info(kFmtFormat, 1, i & 0xFFFF);
        }
        logger->flush();
        logger.reset();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
#endif

}  // namespace

// The log's queue is unbounded (its rate limit bounds it in use, and is off here): a fixed number of
// iterations keeps the records the writer has not yet taken within a few hundred megabytes.
constexpr int kCallerIterations = 500000;
BENCHMARK(BM_Norvane_Write)->Iterations(kCallerIterations);
BENCHMARK(BM_Norvane_FormatAndWrite)->Iterations(kCallerIterations);
BENCHMARK(BM_Norvane_SustainedToDisk)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
#ifdef NORVANE_HAVE_SPDLOG
BENCHMARK(BM_Spdlog_Async)->Iterations(kCallerIterations);
BENCHMARK(BM_Spdlog_SyncFile)->Iterations(kCallerIterations);
BENCHMARK(BM_Spdlog_Async_SustainedToDisk)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spdlog_SyncFile_SustainedToDisk)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

BENCHMARK_MAIN();

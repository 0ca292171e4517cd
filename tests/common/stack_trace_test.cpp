#include "common/stack_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/cdebug_log.h"
#include "common/demangle.h"
#include "common/signal_handler.h"
#include "log_test_support.h"
#include "platform/crash.h"
#include "platform/module_path.h"
#include "platform/path_text.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

TEST(StackTrace, ExceptionNamesAndUnknownCodes) {
    const struct {
        std::uint32_t code;
        const char* name;
    } rows[] = {
        {0x40000005, "SEGMENT_NOTIFICATION"},
        {0x80000001, "GUARD_PAGE_VIOLATION"},
        {0x80000002, "DATATYPE_MISALIGNMENT"},
        {0xC0000005, "ACCESS_VIOLATION"},
        {0xC0000006, "IN_PAGE_ERROR"},
        {0xC0000017, "NO_MEMORY"},
        {0xC000001D, "ILLEGAL_INSTRUCTION"},
        {0xC0000026, "INVALID_DISPOSITION"},
        {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008D, "FLOAT_DENORMAL_OPERAND"},
        {0xC000008E, "FLOAT_DIVIDE_BY_ZERO"},
        {0xC000008F, "FLOAT_INEXACT_RESULT"},
        {0xC0000090, "FLOAT_INVALID_OPERATION"},
        {0xC0000091, "FLOAT_OVERFLOW"},
        {0xC0000092, "FLOAT_STACK_CHECK"},
        {0xC0000093, "FLOAT_UNDERFLOW"},
        {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
        {0xC0000095, "INTEGER_OVERFLOW"},
        {0xC0000096, "PRIVILEGED_INSTRUCTION"},
        {0xC00000FD, "STACK_OVERFLOW"},
        {0xC000013A, "CONTROL_C_EXIT"},
        {0, "UNKNOWN"},
        {0x40000004, "UNKNOWN"},
        {0xC0000004, "UNKNOWN"},
        {0xC000013B, "UNKNOWN"},
        {0xFFFFFFFF, "UNKNOWN"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(ExceptionName(row.code), row.name) << std::hex << row.code;
    }
}

TEST(StackTrace, ExceptionLineAndItsLimit) {
    char line[300];
    const std::size_t n =
        FormatExceptionLine(line, sizeof(line), 0xC0000094, "INTEGER_DIVIDE_BY_ZERO", 4321, 0x7FF6A0B1C2D3);
    EXPECT_EQ(
        std::string(line, n),
        "\tEXCEPTION code: 0xC0000094 INTEGER_DIVIDE_BY_ZERO on thread 00004321 address: 0x7FF6A0B1C2D3\n");
    char small[16];
    EXPECT_EQ(FormatExceptionLine(small, sizeof(small), 0xC0000005, "ACCESS_VIOLATION", 1, 2), 15u);
    EXPECT_EQ(std::string(small), "\tEXCEPTION code");
}

TEST(StackTrace, DemanglesTheNamesOfFunctions) {
    const struct {
        const char* mangled;
        const char* readable;
    } rows[] = {
        {"_Z3foov", "foo"},
        {"_ZN12crash_helper16WriteThroughNullEPVi", "crash_helper::WriteThroughNull"},
        {"_ZN7Network7UdpSock4OpenERKNS_8SockAddrE", "Network::UdpSock::Open"},
        {"_ZNK9CDebugLog18IsStackDumpInDebugEv", "CDebugLog::IsStackDumpInDebug"},
        {"_ZN2os23SignalHandlerCollectionC2ESt10shared_ptrI9IDebugLogEPFN8platform9SysResultEiPFbiEE",
         "os::SignalHandlerCollection::SignalHandlerCollection"},
        {"_ZN4Kx416DeviceD0Ev", "Kx41::Device::~Device"},
        {"_ZN12_GLOBAL__N_16Reader4NameEv", "(anonymous namespace)::Reader::Name"},
        {"_ZL9WriteLinePKc", "WriteLine"},
        {"_ZNSt6thread6_StateD2Ev", "std::thread::_State::~_State"},
        {"_ZSt9terminatev", "std::terminate"},
        {"_ZN4Json5ValueixEm", "Json::Value::operator[]"},
        {"_ZN3abc3defB5cxx11Ev", "abc::def"},
        {"_ZN3abc3def.cold", "_ZN3abc3def.cold"},  // no end of the nested name: not read
        {"_ZN3abc3defEv.constprop.0", "abc::def"},
        {"_ZN9Container3getIiEET_v", "_ZN9Container3getIiEET_v"},  // a template: as it is
        {"_ZN99shortE", "_ZN99shortE"},                            // a length beyond the text
        {"main", "main"},
    };
    for (const auto& row : rows) {
        char out[256];
        const std::size_t n = DemangleSymbol(row.mangled, out, sizeof(out));
        EXPECT_EQ(std::string(out, n), row.readable) << row.mangled;
        EXPECT_EQ(std::strlen(out), n) << row.mangled;
    }
    char tiny[6];
    EXPECT_EQ(DemangleSymbol("_ZN7Network7UdpSock4OpenEv", tiny, sizeof(tiny)), 5u);
    EXPECT_STREQ(tiny, "Netwo");
}

// The stack of the calling thread goes into the log's file, one numbered line per frame down to 0.
TEST(StackTrace, LogStackTraceWritesTheFramesIntoTheFile) {
    testing_support::TempFolder folder;
    DebugLogOptions options;
    options.appFolder = folder.path();
    options.logName = L"stack";
    options.defaultLogFolderPath = folder.path();
    auto log = CDebugLog::Create(options);
    ASSERT_TRUE(log->Flush(std::chrono::seconds(10)));
    StackTraceLogger(log).LogStackTrace();
    const std::string text = testing_support::ReadBytes(platform::WideToPath(log->GetFilePath()));
    const std::size_t first = text.find('\t');
    ASSERT_NE(first, std::string::npos) << text;
    ASSERT_EQ(text.substr(first + 3, 3), " 0x") << text;
    const int top = std::stoi(text.substr(first + 1, 2));
    EXPECT_GE(top, 2) << text;
    const std::ptrdiff_t frames = std::count(text.begin(), text.end(), '\t');
    EXPECT_EQ(frames, top + 1) << text;
    EXPECT_NE(text.find("\t00 0x"), std::string::npos) << text;
}

TEST(StackTrace, EnvironmentHandsOutItsServicesAndInstallsNoHandlerWhenStackDumpsAreOff) {
    std::shared_ptr<IStackTraceLogger> logger;
    std::shared_ptr<os::SignalHandlerCollection> signals;
    {
        EnvironmentRef ref;
        GetEnvironment(ref)->GetStackTraceLogger(logger);
        GetEnvironment(ref)->GetSignalHandlerCollection(signals);
    }
    EXPECT_TRUE(logger != nullptr && signals != nullptr);
    ASSERT_FALSE(GetProcessDebugLog()->IsStackDumpInDebug());
    EXPECT_FALSE(platform::CrashHandlerInstalled());
}

// The address sanitizer build also checks for undefined behaviour, which it reports and ends the program
// on before the fault the test wants happens. (Under the thread sanitizer the faults happen and are
// reported as everywhere.)
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFaultsCaughtEarlier = true;
#else
constexpr bool kFaultsCaughtEarlier = false;
#endif

// A program with stack dumps on faults; its log file then holds the exception line and the stack from
// the faulting function down, and the program has ended by the fault. The program is started through
// the command processor (sh, cmd.exe under Wine), which works alike on both systems, where a death test
// of GoogleTest does not.
TEST(StackTrace, AFaultingProgramLeavesItsReportInItsLogAndEndsAbnormally) {
    if (kFaultsCaughtEarlier) {
        GTEST_SKIP()
            << "the undefined-behaviour checks of this build end the helper at the null write and the "
               "division by zero, before they fault";
    }
    const struct {
        const char* fault;
        const char* line;
        const char* function;
    } rows[] = {
        {"null", "EXCEPTION code: 0xC0000005 ACCESS_VIOLATION on thread ", "crash_helper::WriteThroughNull"},
        {"divide", "EXCEPTION code: 0xC0000094 INTEGER_DIVIDE_BY_ZERO on thread ",
         "crash_helper::DivideByZero"},
    };
    std::filesystem::path helper = platform::OwnModulePath().parent_path() / "crash_helper";
    helper += platform::OwnModulePath().extension();  // ".exe" on Windows
    for (const auto& row : rows) {
        testing_support::TempFolder folder;
        const std::filesystem::path output = folder.path() / "output.txt";
        const std::string command = helper.string() + " " + (folder.path() / "log").string() + " " +
                                    row.fault + " > " + output.string() + " 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_NE(testing_support::ReadBytes(output).find("crash handler installed: yes"), std::string::npos)
            << command << ": " << testing_support::ReadBytes(output);
#ifdef _WIN32
        EXPECT_EQ(status, 3) << "abort() ends the program with 3";
#else
        // The shell reports a child ended by a signal as 128 plus the signal, when it does not run it itself.
        const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status) - 128;
        EXPECT_TRUE(signal == SIGSEGV || signal == SIGFPE) << "status " << status;
#endif
        std::string log;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.path() / "log")) {
            if (entry.path().extension() == ".log") {
                log += testing_support::ReadBytes(entry.path());
            }
        }
        const std::size_t line = log.find(row.line);
        ASSERT_NE(line, std::string::npos) << log;
        const std::size_t frame = log.find(std::string(" ") + row.function + "\n", line);
        EXPECT_NE(frame, std::string::npos) << log;
        EXPECT_NE(log.find("main\n", frame), std::string::npos) << "the stack goes on to the caller: " << log;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_trace_host.h"
#include "logging/dbg_trace/core.h"
#include "logging/dbg_trace/dbg_trace.h"
#include "logging/dbg_trace/line.h"
#include "logging/dbg_trace/outputs.h"
#include "logging/dbg_trace/settings.h"
#include "logging/dbg_trace/testing.h"

namespace {

using namespace logging::dbg_trace;
using logging::dbg_trace::testing::capture;

// The settings of a file whose bytes come in pieces of `piece` bytes.
trace_settings parse(const std::string& text, std::size_t piece = 4096) {
    settings_parser parser;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        parser.feed(text.data() + at, std::min(piece, text.size() - at));
    }
    parser.finish();
    return parser.settings();
}

std::string unscramble(std::string bytes, std::uint8_t with) {
    for (char& c : bytes) {
        c = static_cast<char>(static_cast<std::uint8_t>(c) ^ with);
    }
    return bytes;
}

// Tracing on with a fake host, as if the settings had been read.
struct installed {
    installed(fakes::fake_trace_host& system, std::uint32_t flags,
              ini_location location = ini_location::executable_folder,
              std::array<std::uint8_t, 4> key = {}) {
        detail::install(system, trace_settings{flags, key, location});
    }
    ~installed() { detail::uninstall(); }
};

TEST(DbgTraceSettings, FlagLinesReadTheirLeadingDigitsInPiecesOf511AndTheLastOneWins) {
    EXPECT_EQ(parse("DLLPROTECT=3x\n").flags, 3u);
    EXPECT_EQ(parse("*=15").flags, 15u);
    EXPECT_EQ(parse("DLLPROTECT=1\r\nOTHER=7\r\nDLLPROTECT 5\r\n*=4\r\n").flags, 4u);
    EXPECT_EQ(parse("DLLPROTECT=2\nDLLPROTECT=\n").flags, 0u);
    EXPECT_EQ(parse("DLLPROTECT=99999999999\n").flags, 0xFFFFFFFFu);
    EXPECT_EQ(parse("# DLLPROTECT=1\n").flags, 0u);
    // Lines longer than 511 are read in pieces: a piece of 511 characters ends the first "line",
    // the rest reads as a line of its own.
    EXPECT_EQ(parse(std::string(511, 'A') + "*=3\n").flags, 3u);
    EXPECT_EQ(parse(std::string(508, 'A') + "*=3\n").flags, 0u);
    EXPECT_EQ(parse("DLLPROTECT=1" + std::string(499, '0') + "5\n").flags, 0xFFFFFFFFu);
    EXPECT_EQ(parse("DLLPROTECT=1" + std::string(499, 'x') + "5\n").flags, 1u);
    // Whatever the pieces the bytes come in, the lines are the same; a CR alone ends no line.
    const trace_settings bytewise = parse("key=A\rB\r\n*=6\r\n", 1);
    EXPECT_EQ(bytewise.flags, 6u);
    EXPECT_EQ(bytewise.key, (std::array<std::uint8_t, 4>{'Q' ^ 'A', 'Z' ^ '\r', 'V' ^ 'B', 'K'}));
}

TEST(DbgTraceSettings, KeyLinesAreXoredIntoTheKeyUntilItIsZeroAndItsBytesMakeTheScrambleByte) {
    EXPECT_EQ(parse("").key, (std::array<std::uint8_t, 4>{'Q', 'Z', 'V', 'K'}));
    EXPECT_EQ(parse("key=ABCD\n").key, (std::array<std::uint8_t, 4>{0x10, 0x18, 0x15, 0x0F}));
    EXPECT_TRUE(key_is_zero(parse("key=QZVK\n").key));
    // After a zero key, further key lines change nothing.
    EXPECT_TRUE(key_is_zero(parse("key=QZVK\nkey=ABCD\n").key));
    // Two lines XOR one after the other; a short value leaves the rest of the key, and a carriage
    // return that ends the file belongs to the last line.
    EXPECT_EQ(parse("key=ABCD\nkey=AB\r").key,
              (std::array<std::uint8_t, 4>{0x10 ^ 'A', 0x18 ^ 'B', 0x15 ^ '\r', 0x0F}));
    // The scramble byte is ((b1 - b3) mod 256) - b2 + b0 in 8 bits:
    // ('B' - 'D') = 254, 254 - 'C' + 'A' = 252.
    EXPECT_EQ(scramble_byte({'A', 'B', 'C', 'D'}), 252);
    EXPECT_EQ(scramble_byte({0, 0, 1, 0}), 0xFF);
}

TEST(DbgTraceSettings, TheDriveRootComesFirstThenTheExecutablesFolder) {
    fakes::fake_trace_host system;
    const auto found = [&system] {
        const trace_settings settings = load_settings(system);
        return std::pair(settings.location, settings.flags);
    };
    EXPECT_EQ(found(), std::pair(ini_location::not_found, 0u));
    system.settings_files["D:\\Apps\\Corvel\\dbg_trace.ini"] = "DLLPROTECT=2\n";
    EXPECT_EQ(found(), std::pair(ini_location::executable_folder, 2u));
    system.settings_files["\\dbg_trace.ini"] = "*=1\n";
    EXPECT_EQ(found(), std::pair(ini_location::drive_root, 1u));
    system.faults().fail("read_settings", system.faults().calls("read_settings") + 1);
    EXPECT_EQ(found(), std::pair(ini_location::executable_folder, 2u));

    char path[260];
    EXPECT_FALSE(settings_path_beside("Wardex.exe", path));
    EXPECT_FALSE(settings_path_beside(("C:\\" + std::string(243, 'a') + "\\x.exe").c_str(), path));
    ASSERT_TRUE(settings_path_beside(("C:\\" + std::string(242, 'a') + "\\x.exe").c_str(), path));
    EXPECT_EQ(std::string(path), "C:\\" + std::string(242, 'a') + "\\dbg_trace.ini");
}

TEST(DbgTraceLines, PrefixTagAndMessageCutAt8191Characters) {
    capture trace(output_debugger);
    trace.set_tick(0x100000005);
    message(logging::level_info, "[T] ", "a=%d b=%s", 7, "x");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    message(logging::level_info, "[T] ", nullptr, "plain %d");  // a null format is "%s"
#pragma GCC diagnostic pop
    wmessage(logging::level_info, "[W] ", L"w=%ls", L"\u00e9\u20ac\U0001F600");
    message(logging::level_info, "", "%s", std::string(9000, 'a').c_str());
    wmessage(logging::level_info, "", L"%ls", std::wstring(9000, L'b').c_str());
    const auto lines = trace.texts();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[0000000005][000001] x [T] a=7 b=x\n");
    EXPECT_EQ(lines[1], "[0000000005][000001] x [T] plain %d\n");
    EXPECT_EQ(lines[2], "[0000000005][000001] x [W] w=\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n");
    for (const std::size_t i : {3u, 4u}) {
        EXPECT_EQ(lines[i].size(), 8192u);
        EXPECT_EQ(lines[i].substr(8189), std::string(i == 3 ? "aa" : "bb") + "\n");
    }
}

TEST(DbgTraceLines, WideTextIsEncodedWholeCharactersAtATime) {
    // Wide text as Windows holds it: UTF-16 units, a pair of surrogates being one character.
    const struct {
        std::wstring text;
        std::size_t capacity;
        std::string bytes;
        std::size_t consumed;
    } cases[] = {
        {{0xD83D, 0xDE00, L'x'}, 16, "\xf0\x9f\x98\x80x", 3},
        {{0xD83D, 0xDE00}, 3, "", 0},  // a pair that does not fit is left whole
        {{L'a', 0xD83D}, 16, "a\xef\xbf\xbd", 2},
        {{0xD83D, 0xE000}, 16, "\xef\xbf\xbd\xee\x80\x80", 2},  // no low surrogate after it
        {{0xDE00, 0xD83D, L'b'},
         16,
         "\xef\xbf\xbd\xef\xbf\xbd"
         "b",
         3},
        {{0x7FF, 0x800}, 4, "\xdf\xbf", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        char out[16];
        std::size_t consumed = 99;
        const auto n = encode_utf8(c.text.data(), c.text.size(), consumed, out, c.capacity);
        EXPECT_EQ(std::string(out, n), c.bytes);
        EXPECT_EQ(consumed, c.consumed);
    }
}

void scoped_operation(capture& trace) {
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    DLLPROTECT_TRACE(logging::level_info, "value=%d", 5);
    DLLPROTECT_TRACEW(logging::level_info, L"path=[%ls]", L"C:\\x.dll");
    trace.set_counter(1125);
}

TEST(DbgTraceLines, EngineFormsNameTheFunctionAndTheScopeShowsItsSeconds) {
    capture trace(output_debugger);
    trace.set_counter(1000);
    scoped_operation(trace);
    {
        trace.set_counter(1125000);
        trace_scope scope("in ", "out ", logging::level_trace, "extra");
        trace.set_counter(3000000);
    }
    const auto lines = trace.texts();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "[0000000000][000001] x [DLLPROTECT] :: scoped_operation -> \n");
    EXPECT_EQ(lines[1], "[0000000000][000001] x [DLLPROTECT] :: scoped_operation() - value=5\n");
    EXPECT_EQ(lines[2],
              "[0000000000][000001] x [DLLPROTECT] :: scoped_operation() - path=[C:\\x.dll]\n");
    EXPECT_EQ(lines[3],
              "[0000000000][000001] x [DLLPROTECT] :: scoped_operation <- \n"
              "[> 0.000125 <]\n");
    EXPECT_EQ(lines[4], "[0000000000][000001] x in \n");
    EXPECT_EQ(lines[5], "[0000000000][000001] x out extra\n[> 1.875000 <]\n");
}

TEST(DbgTraceLines, NothingIsEvaluatedOrWrittenWhenOff) {
    capture trace(0);
    int evaluated = 0;
    DLLPROTECT_TRACE(logging::level_info, "%d", ++evaluated);
    DLLPROTECT_TRACEW(logging::level_info, L"%d", ++evaluated);
    DLLPROTECT_TRACE_SCOPE(logging::level_trace);
    message(logging::level_warning, "", "x");
    EXPECT_FALSE(on());
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(trace.lines().empty());
}

TEST(DbgTraceLines, BannersSplitTheUpTime) {
    char out[512];
    // 1 day, 1 hour, 1 minute, 1 second and 1 millisecond.
    const std::uint32_t ticks = 86400000 + 3600000 + 60000 + 1000 + 1;
    std::size_t n = start_banner(out, sizeof out, {2026, 3, 4, 5, 6, 7}, ticks, "1.2.3.4");
    EXPECT_EQ(std::string(out, n),
              " ----------------------------- \n>Started at : 2026-03-04 05:06:07\n"
              ">UpTime     : 1 Days 01h 01m 01s :: 1 ms (90061001)\n>Version    : 1.2.3.4\n"
              " ----------------------------- \n");
    n = end_banner(out, sizeof out, {2026, 3, 4, 5, 6, 7}, 59999);
    EXPECT_EQ(std::string(out, n),
              " ----------------------------- \n>Closed  at : 2026-03-04 05:06:07\n"
              ">UpTime     : 0 Days 00h 00m 59s :: 999 ms (59999)\n"
              " ----------------------------- \n");
}

TEST(DbgTraceOutputs, LevelEightAddsTheFileAndDeviceAndEtwTakeWideLinesOnly) {
    EXPECT_EQ(effective_outputs(1, logging::level_warning, ini_location::drive_root), 3u);
    EXPECT_EQ(effective_outputs(1, logging::level_warning, ini_location::not_found), 1u);

    fakes::fake_trace_host system;
    installed on_all(system, 1 | 4 | 8);  // the debugger, the device and ETW
    message(logging::level_info, "", "narrow");
    wmessage(logging::level_info, "", L"wide");
    EXPECT_EQ(system.debugger.size(), 2u);
    EXPECT_EQ(system.device, std::vector<std::string>{"[0000000000][000007] x wide\n"});
    EXPECT_EQ(system.etw, system.device);
    EXPECT_TRUE(system.file_path.empty());
    message(logging::level_warning, "", "tolerated");
    EXPECT_FALSE(system.file_path.empty());
}

TEST(DbgTraceOutputs, TheLogFileLiesInTheRunFolderAndStartsWithTheBanner) {
    fakes::fake_trace_host system;
    // The file is opened where it was asked for: its final path differs in letter case only.
    system.final_path_of_file =
        "d:\\programdata\\vdlogging\\cstlogs\\WARDEX.EXE"
        "\\2026-01-02_03_04_05__0042\\DLLPROTECT.log";
    installed on_file(system, output_file);
    message(logging::level_info, "", "one");
    wmessage(logging::level_info, "", L"two \u00e9");
    const std::string run =
        "D:\\ProgramData\\VDLogging\\CstLogs\\Wardex.exe\\2026-01-02_03_04_05__0042";
    EXPECT_EQ(system.folders,
              (std::vector<std::string>{"D:\\ProgramData", "D:\\ProgramData\\VDLogging",
                                        "D:\\ProgramData\\VDLogging\\CstLogs\\",
                                        "D:\\ProgramData\\VDLogging\\CstLogs\\Wardex.exe", run}));
    EXPECT_EQ(system.marked,
              std::vector<std::string>(system.folders.begin() + 2, system.folders.end()));
    EXPECT_EQ(system.file_path, run + "\\DLLPROTECT.log");
    EXPECT_EQ(system.file.find(
                  " ----------------------------- \r\n>Started at : 2026-12-06 08:09:10\r\n"),
              0u);
    EXPECT_NE(system.file.find(">Version    : 1.2.3.4\r\n"), std::string::npos);
    EXPECT_NE(system.file.find(
                  "-- \r\n[0000000000][000007] x one\r\n[0000000000][000007] x two \xc3\xa9\r\n"),
              std::string::npos);
    EXPECT_EQ(system.flushes, 2);
    detail::uninstall();
    EXPECT_EQ(system.closes, 1);
    EXPECT_NE(system.file.find(">Closed  at : "), std::string::npos);
}

TEST(DbgTraceOutputs, AFailedOpenOrAFileThatLeadsElsewhereEndsTheFileUnwritten) {
    const std::string log =
        "\\ProgramData\\VDLogging\\CstLogs\\Wardex.exe\\2026-01-02_03_04_05__0042\\DLLPROTECT.log";
    // The open fails, a folder on the way was made a junction to another place, or there is no
    // final path: nothing is written and the file is not opened again.
    fakes::fake_trace_host refused, junction, unknown;
    refused.faults().fail("file_open", 1);
    junction.final_path_of_file = "C:\\Windows\\System32" + log;
    unknown.faults().fail_always("file_final_path");
    for (fakes::fake_trace_host* system : {&refused, &junction, &unknown}) {
        installed on_file(*system, output_file);
        message(logging::level_info, "", "lost");
        message(logging::level_info, "", "lost too");
        EXPECT_EQ(system->file_path, "D:" + log);
        EXPECT_TRUE(system->file.empty());
        EXPECT_EQ(system->closes, system == &refused ? 0 : 1);
        EXPECT_EQ(system->faults().calls("file_open"), 1);
    }
}

TEST(DbgTraceOutputs, DriveRootSettingsKeepTheLogsInProgramDataOnAShareToo) {
    // Without %programdata% (older systems), the all users profile's application data.
    fakes::fake_trace_host old, share;
    old.environment["%ALLUSERSPROFILE%"] = "C:\\All Users";
    share.environment["%programdata%"] = "\\\\srv\\data";
    share.final_path_of_file =
        "UNC\\srv\\data\\VDLogging\\CstLogs\\Wardex.exe\\2026-01-02_03_04_05__0042\\DLLPROTECT.log";
    for (const auto& [system, root] : {std::pair<fakes::fake_trace_host*, std::string>{
                                           &old, "C:\\All Users\\Application Data\\VDLogging"},
                                       {&share, "\\\\srv\\data\\VDLogging"}}) {
        installed on_file(*system, output_file, ini_location::drive_root);
        message(logging::level_info, "", "kept");
        EXPECT_EQ(system->folders.front(), root);
        EXPECT_NE(system->file.find("x kept\r\n"), std::string::npos);
    }
}

TEST(DbgTraceOutputs, AKeyScramblesEveryByteOfFileAndDebuggerBannersIncluded) {
    fakes::fake_trace_host system;
    installed on_scrambled(system, output_debugger | output_file, ini_location::executable_folder,
                           {0x10, 0x18, 0x15, 0x0F});
    message(logging::level_info, "", "secret\n");
    wmessage(logging::level_info, "", L"wide");
    ASSERT_EQ(system.debugger.size(), 2u);
    EXPECT_EQ(unscramble(system.debugger[0], 0x04), "[0000000000][000007] x secret\n\n");
    const std::string plain = unscramble(system.file, 0x04);
    EXPECT_EQ(plain.find(" ----------------------------- \n>Started at"), 0u);
    EXPECT_NE(plain.find("-- \n[0000000000][000007] x secret\n\n[0000000000][000007] x wide\n"),
              std::string::npos);
    EXPECT_EQ(system.file.find("secret"), std::string::npos);
}

TEST(DbgTraceOutputs, TheDeviceIsRetriedAtMostEveryTenSecondsAndEtwBoundOnce) {
    fakes::fake_trace_host system;
    installed on_wide(system, 4 | 8);  // the device and ETW
    system.faults().fail_always("device_open");
    system.faults().fail("etw_bind", 1);
    system.tick = 0xFFFFF000;  // the retry interval holds across the 32-bit wrap
    wmessage(logging::level_info, "", L"a");
    system.tick += 9999;
    wmessage(logging::level_info, "", L"b");
    EXPECT_EQ(system.device_opens, 1);
    system.tick += 1;
    system.faults().clear();
    wmessage(logging::level_info, "", L"c");
    wmessage(logging::level_info, "", L"d");
    EXPECT_EQ(system.device_opens, 2);
    ASSERT_EQ(system.device.size(), 2u);
    EXPECT_EQ(system.etw_binds, 1);
    EXPECT_TRUE(system.etw.empty());
    // Tracing installed anew starts over: the device is opened and ETW bound at once.
    detail::uninstall();
    fakes::fake_trace_host fresh;
    installed again(fresh, 4 | 8);
    wmessage(logging::level_info, "", L"e");
    EXPECT_EQ(std::tie(fresh.device_opens, fresh.etw_binds), std::tuple(1, 1));
}

TEST(DbgTraceOutputs, ThreadsShareOneFileOpenedOnce) {
    capture trace(output_debugger | output_file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                DLLPROTECT_TRACE(logging::level_info, "line %d", i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    [] { DLLPROTECT_TRACE(logging::level_info, "line %d", 800); }();
    EXPECT_EQ(trace.lines().size(), 801u);
    // A writer that finds the file being opened by another thread skips its line (how many lines
    // that is depends on the scheduler); every line that reaches it is whole, and once it is open
    // every line reaches it.
    const std::string file = trace.file_bytes();
    EXPECT_TRUE(file.ends_with(" - line 800\r\n"));
    EXPECT_EQ(file.find(">Started at"), file.rfind(">Started at"));
    const std::string prefix = "[0000000000][000001] x [DLLPROTECT] :: operator()() - line ";
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = file.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        const std::string line = file.substr(at, end - at);
        if (line.starts_with("[")) {
            ++lines;
            EXPECT_TRUE(line.starts_with(prefix) &&
                        line.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
                << line;
        }
    }
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 801u);
}

}  // namespace

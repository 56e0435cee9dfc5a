#include "logging/prefixed_ostream.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fakes/fake_clock.h"
#include "winapi/facility.h"

namespace {

// A target that counts flushes and takes at most `capacity` characters in one write.
class target_buffer : public std::wstringbuf {
public:
    int syncs = 0;
    std::streamsize capacity = 1000;

protected:
    int sync() override { return ++syncs, 0; }
    std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
        return std::wstringbuf::xsputn(s, std::min(n, capacity));
    }
};

class PrefixedStream : public ::testing::Test {
protected:
    fakes::fake_clock clock;
    winapi::scoped_facility<winapi::clock> use_clock{clock};
    target_buffer target;
    logging::prefixed_wostream out{&target};
};

TEST_F(PrefixedStream, StampsEachLineWhenItsFirstCharacterIsWrittenAndFlushesTheTarget) {
    out << L"first\nsecond" << std::endl;
    EXPECT_EQ(target.syncs, 1);
    // The next line is stamped with the time it begins, not when the last one ended.
    clock.local = {2024, 12, 31, 9, 5, 3, 7};
    out << L"third";
    EXPECT_EQ(target.str(),
              L"2024-05-01 13:02:07.045 first\n"
              L"2024-05-01 13:02:07.045 second\n"
              L"2024-12-31 09:05:03.007 third");
}

TEST_F(PrefixedStream, NoTimeMeansNoPrefixAndARefusedPrefixOrAFailedTargetDropsTheText) {
    clock.faults().fail_always("now_local");
    out << L"a\nb";
    EXPECT_EQ(target.str(), L"a\nb");
    clock.faults().clear();
    target.capacity = 5;  // the prefix does not fit
    out << L"\ny";
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(target.str().find(L'y'), std::wstring::npos);

    // A log file that could not be opened: the stream over it drops everything, without a target.
    target.str(L"");
    std::wostream unopened(nullptr);
    logging::prefixed_wostream over_nothing(unopened);
    over_nothing << L"lost" << std::endl;
    EXPECT_TRUE(over_nothing.bad());
    std::wostream failed(&target);
    failed.setstate(std::ios_base::failbit);
    logging::prefixed_wostream over_failed(failed);
    over_failed << L"lost" << std::endl;
    EXPECT_EQ(target.str(), L"");
}

}  // namespace

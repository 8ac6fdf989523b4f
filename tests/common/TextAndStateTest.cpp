#include "StateDirectory.h"
#include "TerminalText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

TEST(TerminalText, ControlsOfEveryKindBecomeVisibleAndTextStays) {
    // C0 (an escape sequence, a newline, a carriage return), DEL.
    EXPECT_EQ(terminalText("QRB\x1b[2J\x1b]0;x\x07\n\r\x7f"
                           "42"),
              "QRB?[2J?]0;x????42");
    // C1 as UTF-8 (U+009B, the one-character CSI) and as a raw byte.
    EXPECT_EQ(terminalText("a\xc2\x9b"
                           "31mb\x9b"
                           "31m"),
              "a?31mb?31m");
    // Text that is not UTF-8: a lone continuation, a cut sequence, an
    // overlong form, a surrogate; each byte of it one '?'.
    EXPECT_EQ(terminalText("\x80x\xe2\x82"), "?x??");
    EXPECT_EQ(terminalText("\xc0\xaf"), "??");
    EXPECT_EQ(terminalText("\xed\xa0\x80"), "???");
    // Printable text, non-ASCII included, passes as it is.
    EXPECT_EQ(terminalText("Sealing the flash\u2026 \u00a0\u00e9\U0001F600"),
              "Sealing the flash\u2026 \u00a0\u00e9\U0001F600");
}

TEST(TerminalText, WidthCountsCharactersAndTheCutKeepsThemWhole) {
    EXPECT_EQ(terminalWidth("ab\u2026\u00e9"), 4u);
    EXPECT_EQ(fitToColumns("abcdef", 6), "abcdef");
    EXPECT_EQ(fitToColumns("abcdef", 4), "abc\u2026");
    // The cut never splits a character.
    EXPECT_EQ(fitToColumns("\u00e9\u00e9\u00e9\u00e9", 3), "\u00e9\u00e9\u2026");
}

// Sets an environment variable for one scope, as it was before afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(StateDirectory, AnAbsoluteXdgStateHomeElseTheHomeDirectory) {
    const ScopedEnv home("HOME", "/home/ann");
    {
        const ScopedEnv state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(stateDirectory(), "/var/state/qrb-updater");
    }
    // A relative value is ignored, as is an empty one.
    for (const char* value : {"state", "", static_cast<const char*>(nullptr)}) {
        const ScopedEnv state("XDG_STATE_HOME", value);
        EXPECT_EQ(stateDirectory(), "/home/ann/.local/state/qrb-updater");
    }
}

} // namespace

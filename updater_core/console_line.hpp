// What the window shows on its last line, and when the person last saw something new there.
//
// The progress bar is drawn again and again over its own unended line; a line said while it
// stands there must start below it, or the bar's next drawing writes over the line's end. And a
// wait is said to be slow only after the window has been still for a while.
#pragma once

#include <chrono>

namespace updater {

// What stands on the last line when a wait begins: a line ended, or a progress bar.
enum class LastLine { ended, progress_bar };

class ConsoleLine {
public:
    using Clock = std::chrono::steady_clock;

    // A wait begins below `last`.
    void begin(LastLine last) noexcept { bar_last_ = last == LastLine::progress_bar; }

    // The progress bar was drawn (again), its line unended.
    void bar_drawn() noexcept {
        bar_last_ = true;
        shown_ = Clock::now();
    }

    // A line is said now, `mark` telling it from another said the same way: the text that ends
    // the bar's line first, if the bar stands last ("" when not).
    const char* line_said(long mark = 0) noexcept {
        shown_ = Clock::now();
        last_mark_ = mark;
        const bool below_bar = bar_last_;
        bar_last_ = false;
        return below_bar ? "\n" : "";
    }

    // Whether the last thing shown is the line of `mark`, said less than `within` ago: saying it
    // again would tell the person nothing new.
    bool just_said(long mark, Clock::duration within) const noexcept {
        return !bar_last_ && last_mark_ == mark && Clock::now() - shown_ < within;
    }

    // When the person last saw something new: a line said or the bar drawn.
    Clock::time_point shown() const noexcept { return shown_; }

private:
    Clock::time_point shown_ = Clock::now();
    bool bar_last_ = false;
    long last_mark_ = 0;
};

}  // namespace updater

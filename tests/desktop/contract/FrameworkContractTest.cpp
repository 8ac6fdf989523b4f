// The rules every ApplicationFramework keeps, run against the headless
// framework and the Qt one: an open alert holds device events and deferred
// calls but delivers what workers post; workers' posts arrive in order; the
// buttons answer 1, 0 and -1 and the way out what the caller names; exit
// ends the loop and releases the workers that wait for the main thread.

#include "QtApplicationFramework.h"
#include "QtTestSupport.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Style = ApplicationFramework::AlertStyle;

// What the user does to an alert: clicks the button with this text, or
// leaves it by its way out (Escape) when the text is empty.
struct Answer {
    std::string button;
};
const Answer kWayOut{};

// A framework under the contract, with what the cases need to work it.
class Subject {
  public:
    virtual ~Subject() = default;
    virtual ApplicationFramework& framework() = 0;
    virtual RunLoop& runLoop() = 0;
    // Runs start, then the main loop until the application exits (bounded);
    // the exit status.
    virtual std::optional<int> run(const std::function<void()>& start) = 0;
    // The next alert: onOpen runs once it shows; the user answers it as soon
    // as ready holds (at once without one).
    virtual void answerNextAlert(Answer answer, std::function<void()> onOpen = {},
                                 std::function<bool()> ready = {}) = 0;
    // The open alert has had the time to deliver n held events, had it not
    // held them.
    virtual bool heldAtLeast(std::size_t n) = 0;
    // Whether held events come after the alert in the order they came (the
    // headless framework delivers a pass's device events before its deferred
    // calls).
    virtual bool deliversHeldInArrivalOrder() const = 0;
    virtual bool waitForWorkers(std::chrono::milliseconds limit) = 0;
    // The exit statuses so far.
    virtual std::vector<int> exits() = 0;
};

class HeadlessSubject : public Subject {
  public:
    ApplicationFramework& framework() override { return platform_; }
    RunLoop& runLoop() override { return platform_; }
    std::optional<int> run(const std::function<void()>& start) override {
        return platform_.runUntilExit(20s, start);
    }
    void answerNextAlert(Answer answer, std::function<void()> onOpen,
                         std::function<bool()> ready) override {
        auto opened = std::make_shared<bool>(false);
        platform_.queueAlertAnswer(
            [this, answer, onOpen, ready,
             opened](const testing_support::TestPlatform::Alert& alert) -> std::optional<int> {
                if (!*opened) {
                    *opened = true;
                    passesAtOpen_ = platform_.passes();
                    if (onOpen) {
                        onOpen();
                    }
                }
                if (ready && !ready()) {
                    return std::nullopt;
                }
                if (answer.button.empty()) {
                    return alert.escapeResult;
                }
                if (answer.button == alert.defaultButton.value_or("OK")) {
                    return 1;
                }
                if (answer.button == alert.alternateButton) {
                    return 0;
                }
                if (answer.button == alert.otherButton) {
                    return -1;
                }
                ADD_FAILURE() << "no button \"" << answer.button << "\" in alert \""
                              << alert.title.value_or("") << "\"";
                return 1;
            });
    }
    bool heldAtLeast(std::size_t) override {
        // The modal loop looks at nothing but posted calls; some passes of it
        // show that it does not deliver what it holds.
        return platform_.passes() >= passesAtOpen_ + 20;
    }
    bool deliversHeldInArrivalOrder() const override { return false; }
    bool waitForWorkers(std::chrono::milliseconds limit) override {
        return platform_.joinWorkers(limit);
    }
    std::vector<int> exits() override {
        std::vector<int> statuses;
        for (const std::string& entry : platform_.timeline()) {
            if (entry.starts_with("exit ")) {
                statuses.push_back(std::stoi(entry.substr(5)));
            }
        }
        return statuses;
    }

  private:
    testing_support::TestPlatform platform_;
    std::uint64_t passesAtOpen_ = 0;
};

class QtSubject : public Subject {
  public:
    QtSubject() {
        framework_.setExitHook([this](int status) { exits_.push_back(status); });
    }
    ~QtSubject() override {
        EXPECT_TRUE(framework_.waitForWorkers(5s)) << "worker threads still running";
    }
    ApplicationFramework& framework() override { return framework_; }
    RunLoop& runLoop() override { return framework_; }
    std::optional<int> run(const std::function<void()>& start) override {
        return qt_testing::runWithLimit(framework_, start);
    }
    void answerNextAlert(Answer answer, std::function<void()> onOpen,
                         std::function<bool()> ready) override {
        if (!onOpen && !ready) {
            if (answer.button.empty()) {
                user_.thenPressEscape();
            } else {
                user_.thenClick(answer.button);
            }
            return;
        }
        user_.then([this, answer, onOpen, ready](QMessageBox&) {
            if (onOpen) {
                onOpen();
            }
            whens_.push_back(std::make_unique<qt_testing::When>(
                ready ? ready : [] { return true; },
                [answer] {
                    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                    ASSERT_NE(box, nullptr);
                    if (answer.button.empty()) {
                        QWidget* target = box->focusWidget() != nullptr ? box->focusWidget() : box;
                        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
                        QApplication::sendEvent(target, &press);
                        QApplication::sendEvent(target, &release);
                        return;
                    }
                    for (QAbstractButton* button : box->buttons()) {
                        if (qt_testing::str(button->text()) == answer.button) {
                            button->click();
                            return;
                        }
                    }
                    ADD_FAILURE() << "no button \"" << answer.button << "\"";
                    box->defaultButton()->click();
                }));
        });
    }
    bool heldAtLeast(std::size_t n) override { return framework_.heldCount() >= n; }
    bool deliversHeldInArrivalOrder() const override { return true; }
    bool waitForWorkers(std::chrono::milliseconds limit) override {
        return framework_.waitForWorkers(limit);
    }
    std::vector<int> exits() override { return exits_; }

  private:
    QtApplicationFramework framework_{"/opt/qrb/share/qrb-updater"};
    qt_testing::AlertAnswerer user_;
    std::vector<std::unique_ptr<qt_testing::When>> whens_;
    std::vector<int> exits_;
};

using Factory = std::function<std::unique_ptr<Subject>()>;

struct Framework {
    std::string name;
    Factory make;
};

class FrameworkContract : public ::testing::TestWithParam<Framework> {
  protected:
    FrameworkContract() : subject(GetParam().make()), framework(subject->framework()) {}

    std::unique_ptr<Subject> subject;
    ApplicationFramework& framework;
};

TEST_P(FrameworkContract, ButtonsAnswerOneZeroMinusOneAndAnAlertWithoutButtonsOK) {
    subject->answerNextAlert({"Go"});
    subject->answerNextAlert({"Back"});
    subject->answerNextAlert({"Other"});
    subject->answerNextAlert({"OK"});
    std::vector<int> answers;
    const auto status = subject->run([&] {
        answers.push_back(framework.runAlertPanel("Title", "Message", "Go", "Back", "Other",
                                                  ApplicationFramework::kAlternateButton));
        answers.push_back(framework.runAlertPanel("Title", "Message", "Go", "Back", "Other",
                                                  ApplicationFramework::kAlternateButton));
        answers.push_back(framework.runAlertPanel("Title", "Message", "Go", "Back", "Other",
                                                  ApplicationFramework::kAlternateButton));
        answers.push_back(framework.runCriticalAlertPanel("Only a message", std::nullopt));
        framework.exit(0);
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(answers, (std::vector<int>{1, 0, -1, 1}));
}

// The way out (Escape, the close button) gives the result the caller named,
// whatever the button's place.
TEST_P(FrameworkContract, TheWayOutGivesTheResultTheCallerNamed) {
    for (int i = 0; i < 4; ++i) {
        subject->answerNextAlert(kWayOut);
    }
    std::vector<int> answers;
    const auto status = subject->run([&] {
        for (const int wayOut : {1, 0}) {
            answers.push_back(framework.runCriticalAlertPanel(
                "Update Warning", "Message.", "Exit", "Force Update", std::nullopt, wayOut));
        }
        answers.push_back(framework.runAlertPanel("Update Firmware", "Message.", "Update", "Exit",
                                                  std::nullopt, 0));
        answers.push_back(framework.runInformationalAlertPanel("Firmware Update", "Done."));
        framework.exit(0);
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(answers, (std::vector<int>{1, 0, 0, 1}));
}

// While an alert is open, a readable device source and a due deferred call
// wait; calls posted by a worker (waiting or not) run inside the alert. After
// it closes, what waited is delivered.
TEST_P(FrameworkContract, AnOpenAlertHoldsDeviceEventsAndDeferredCallsButNotWorkerPosts) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::vector<std::string> events;
    subject->runLoop().addSource(pipeFds[0], [&] {
        char byte = 0;
        EXPECT_EQ(::read(pipeFds[0], &byte, 1), 1);
        events.push_back(std::string("device ") + byte);
    });

    std::atomic<bool> workerPostsReturned{false};
    // Inside the alert: first the deferred call falls due and is held, then
    // the device becomes readable and is held, then a worker posts.
    subject->answerNextAlert(
        {"OK"},
        [&] {
            ASSERT_EQ(::write(pipeFds[1], "a", 1), 1);
            framework.detachNewThread([&] {
                framework.performOnMainThread([&] { events.push_back("posted"); }, false);
                framework.performOnMainThread([&] { events.push_back("posted, waited"); }, true);
                workerPostsReturned = true;
            });
        },
        [&] {
            if (!workerPostsReturned || !subject->heldAtLeast(2)) {
                return false;
            }
            events.push_back("closing alert");
            return true;
        });

    subject->run([&] {
        framework.performAfterDelay([&] { events.push_back("deferred"); }, 0.0);
        framework.runAlertPanel("Hold", "Events wait.");
        events.push_back("alert returned");
        framework.performAfterDelay([&] { framework.exit(0); }, 0.0);
    });

    const std::vector<std::string> inOrder{"posted",         "posted, waited", "closing alert",
                                           "alert returned", "deferred",       "device a"};
    if (subject->deliversHeldInArrivalOrder()) {
        EXPECT_EQ(events, inOrder);
    } else {
        ASSERT_EQ(events.size(), inOrder.size());
        EXPECT_TRUE(std::equal(inOrder.begin(), inOrder.begin() + 4, events.begin()));
        EXPECT_TRUE(std::is_permutation(inOrder.begin() + 4, inOrder.end(), events.begin() + 4));
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_P(FrameworkContract, AnAlertOpenedByAPostedCallStillRunsTheWorkersNextPosts) {
    // The decision alert opens from a call a worker posted; a worker that
    // waits on the main thread meanwhile must not wait for the alert.
    std::vector<std::string> events;
    std::atomic<bool> workerPostReturned{false};
    subject->answerNextAlert(
        {"OK"},
        [&] {
            framework.detachNewThread([&] {
                framework.performOnMainThread([&] { events.push_back("posted, waited"); }, true);
                workerPostReturned = true;
            });
        },
        [&] {
            if (!workerPostReturned) {
                return false;
            }
            events.push_back("closing alert");
            return true;
        });

    const auto status = subject->run([&] {
        framework.detachNewThread([&] {
            framework.performOnMainThread(
                [&] {
                    framework.runAlertPanel("Decide", "A posted call asks.");
                    events.push_back("alert returned");
                    framework.exit(0);
                },
                false);
        });
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(events,
              (std::vector<std::string>{"posted, waited", "closing alert", "alert returned"}));
}

TEST_P(FrameworkContract, WorkerPostsRunInOrderAndTheWaitingFormBlocksUntilRun) {
    std::vector<int> order;
    std::vector<int> seenByWorker;
    bool deferredRanAtOnce = true;
    const auto status = subject->run([&] {
        framework.performAfterDelay([&] { deferredRanAtOnce = false; }, 0.0);
        EXPECT_TRUE(deferredRanAtOnce) << "deferred call ran at once";
        bool ranAtOnce = false;
        framework.performOnMainThread([&] { ranAtOnce = true; }, true);
        EXPECT_TRUE(ranAtOnce) << "a waiting call from the main thread runs at once";

        framework.detachNewThread([&] {
            for (int i = 0; i < 200; ++i) {
                framework.performOnMainThread([&order, i] { order.push_back(i); }, false);
            }
            framework.performOnMainThread([&] { order.push_back(200); }, true);
            seenByWorker = order; // every earlier post has run by now
            framework.performOnMainThread([&] { framework.exit(0); }, false);
        });
    });

    EXPECT_EQ(status, 0);
    ASSERT_EQ(seenByWorker.size(), 201u);
    for (int i = 0; i <= 200; ++i) {
        EXPECT_EQ(seenByWorker[static_cast<std::size_t>(i)], i);
    }
    EXPECT_FALSE(deferredRanAtOnce);
}

TEST_P(FrameworkContract, ExitReleasesWorkersWaitingForTheMainThreadAndDropsTheirCalls) {
    std::promise<void> posting;
    std::atomic<bool> ran{false};
    std::atomic<bool> released{false};
    const auto status = subject->run([&] {
        framework.detachNewThread([&] {
            posting.set_value();
            framework.performOnMainThread([&] { ran = true; }, true);
            released = true;
        });
        // The main thread stays busy until the worker has (very likely) posted.
        posting.get_future().wait();
        std::this_thread::sleep_for(20ms);
        framework.exit(5);
    });

    EXPECT_EQ(status, 5);
    EXPECT_EQ(subject->exits(), std::vector<int>{5});
    EXPECT_TRUE(subject->waitForWorkers(5s));
    EXPECT_TRUE(released);
    EXPECT_FALSE(ran);
}

INSTANTIATE_TEST_SUITE_P(
    Frameworks, FrameworkContract,
    ::testing::Values(Framework{"Headless", [] { return std::make_unique<HeadlessSubject>(); }},
                      Framework{"Qt", [] { return std::make_unique<QtSubject>(); }}),
    [](const ::testing::TestParamInfo<Framework>& param) { return param.param.name; });

} // namespace

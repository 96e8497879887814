// Callback threads, callback windows and the waits that dispatch them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "tests/platform/wavedev/WaveDevTestUtil.h"

namespace orvant::test {
namespace {

TEST(CallbackThread, HandlesMessagesInOrderOnItsOwnThreadAndEndsAfterQuit) {
    TMessageLog log;
    std::atomic<std::thread::id> handlerThread{};
    log.onMessage = [&](const TLogged&) { handlerThread = std::this_thread::get_id(); };
    TCallbackThread* t = TCallbackThread::Start([&](UINT m, DWORD_PTR w, DWORD_PTR l) { log.Handle(m, w, l); });
    ASSERT_EQ(TCallbackTarget::FromHandle(t->Handle()), t);
    for (UINT i = 0; i < 200; ++i) ASSERT_TRUE(t->Post(0x400 + i, i, 0));
    ASSERT_TRUE(log.WaitFor(200));
    auto l = log.Log();
    for (UINT i = 0; i < 200; ++i) {
        EXPECT_EQ(l[i].msg, 0x400 + i);
        EXPECT_EQ(l[i].handle, i);
    }
    EXPECT_NE(handlerThread.load(), std::this_thread::get_id());
    EXPECT_NE(t->ThreadId(), 0);
    // The priority can be raised only with the right to do so; the thread
    // runs either way.
    (void)t->PriorityRaised();
    t->Quit();
    EXPECT_FALSE(t->Post(0x500, 0, 0));
    ASSERT_EQ(WaitWhileDispatching([&] { return t->Finished(); }, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(log.Count(), 200u);
    t->Release();
}

TEST(CallbackThread, HandlerExceptionGoesToTheHookAndTheThreadGoesOn) {
    std::atomic<int> caught{0};
    auto previous = SetMessageExceptionHook([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::runtime_error&) {
            ++caught;
        }
    });
    TMessageLog log;
    log.onMessage = [](const TLogged& e) {
        if (e.msg == MM_WOM_DONE) throw std::runtime_error("handler failed");
    };
    TCallbackThread* t = TCallbackThread::Start([&](UINT m, DWORD_PTR w, DWORD_PTR l) { log.Handle(m, w, l); });
    t->Post(MM_WOM_DONE, 0, 0);
    t->Post(MM_WOM_CLOSE, 0, 0);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(caught.load(), 1);
    // Quit from inside the thread's own handler.
    log.onMessage = [t](const TLogged&) { t->Quit(); };
    t->Post(0x401, 0, 0);
    ASSERT_EQ(WaitWhileDispatching([&] { return t->Finished(); }, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    t->Release();
    SetMessageExceptionHook(previous);
}

TEST(CallbackThread, WaitOnAnotherThreadWakesWhenAHandlerChangesItsCondition) {
    std::atomic<bool> closed{false};
    TCallbackThread* t = TCallbackThread::Start([&](UINT m, DWORD_PTR, DWORD_PTR) {
        if (m == MM_WIM_CLOSE) closed = true;
    });
    std::thread poster([t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        t->Post(MM_WIM_CLOSE, 0, 0);
    });
    EXPECT_EQ(WaitWhileDispatching([&] { return closed.load(); }, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    poster.join();
    EXPECT_EQ(WaitWhileDispatching([] { return false; }, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    t->Quit();
    WaitWhileDispatching([&] { return t->Finished(); }, 20000);
    t->Release();
}

// Without Qt's event loop a window's messages are handled by waits on its own
// thread only.
TEST(CallbackWindow, MessagesAreHandledOnlyByWaitsOfTheOwnerThread) {
    TMessageLog log;
    TCallbackWindow* w = TCallbackWindow::Create([&](UINT m, DWORD_PTR p, DWORD_PTR l) { log.Handle(m, p, l); });
    std::thread other([&] {
        w->Post(MM_WIM_OPEN, 1, 0);
        w->Post(MM_WIM_DATA, 1, 0);
        // This thread owns no target: its waits hand out nothing.
        EXPECT_EQ(DispatchDeviceMessages(), 0);
    });
    other.join();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(w->PendingCount(), 2u);
    EXPECT_EQ(DispatchDeviceMessages(), 2);
    EXPECT_EQ(log.Messages(), (std::vector<UINT>{MM_WIM_OPEN, MM_WIM_DATA}));
    // Destroyed inside its own handler: later messages are dropped.
    log.onMessage = [w](const TLogged&) { w->Destroy(); };
    w->Post(MM_WIM_CLOSE, 1, 0);
    w->Post(MM_WIM_DATA, 1, 0);
    EXPECT_EQ(DispatchDeviceMessages(), 1);
    EXPECT_EQ(log.Count(), 3u);
    EXPECT_EQ(TCallbackTarget::FromHandle(reinterpret_cast<DWORD_PTR>(w)), nullptr);
}

// With Qt's event loop on the thread, the loop handles the window's messages;
// a wait hands out the window's messages and none of Qt's other events.
TEST(CallbackWindow, QtEventLoopDispatchesAndWaitsDispatchOnlyDeviceMessages) {
    int argc = 1;
    char name[] = "test_wavedev";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TMessageLog log;
    TCallbackWindow* w = TCallbackWindow::Create([&](UINT m, DWORD_PTR p, DWORD_PTR l) { log.Handle(m, p, l); });
    std::thread([w] { w->Post(MM_WOM_OPEN, 0, 0); }).join();
    for (int i = 0; i < 100 && log.Count() == 0; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(log.Count(), 1u);

    bool qtEventRan = false;
    QTimer::singleShot(0, &app, [&] { qtEventRan = true; });
    std::thread([w] { w->Post(MM_WOM_DONE, 0, 0); }).join();
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_FALSE(qtEventRan);
    for (int i = 0; i < 100 && !qtEventRan; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_TRUE(qtEventRan);

    // Destroyed from inside a handler that Qt's loop called.
    log.onMessage = [w](const TLogged& e) {
        if (e.msg == MM_WOM_CLOSE) w->Destroy();
    };
    w->Post(MM_WOM_CLOSE, 0, 0);
    for (int i = 0; i < 100 && log.Count() < 3; ++i) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(log.Count(), 3u);
    QCoreApplication::processEvents();
}

}  // namespace
}  // namespace orvant::test

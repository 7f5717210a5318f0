// Faults a careful tester puts Kestrine through, one row each: what the user sees while the fault
// lasts (the tray icon), what the log says, what the store holds afterwards, and that protection
// comes back by itself once the cause has gone. Rows that need what this machine or user lacks
// skip with their reason; whatever a row changes on the machine is undone however it ends.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>

#include "monitor/AllowListPush.h"
#include "monitor/MonitorContract.h"
#include "numbers/NumberListClass.h"
#include "numbers/Scramble.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "platform/Registry.h"
#include "tests/app/WindowFixture.h"

using namespace kestrine;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kStored = {"0800111222", "0123456789"};
constexpr const char* kNotProtecting = "Kestrine is not protecting: ";
constexpr const char* kProtectingAgain = "Kestrine is protecting again";

class FaultTable;

struct Row {
    const char* fault;
    // Brings the fault about; `opened` tells whether the window is up yet.
    std::function<void(FaultTable&)> cause;
    bool beforeStart;
    // The reason the tray icon and the log give while it lasts.
    std::function<std::string(FaultTable&)> reason;
    std::function<void(FaultTable&)> mend;
};

// Names a row in the test's listing.
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.fault;
}

class FaultTable : public test::WindowFixture, public ::testing::WithParamInterface<Row> {
public:
    app::TfrmMain& Window() { return *window; }
    fs::path Db() const { return platform::RegistryDatabasePath(root.Path()); }
    using test::WindowFixture::Registry;
    std::shared_ptr<test::FakeMonitorDevice>& Device() { return access.device; }

    // Waits (serving the window) until the tray has said `notice`; false when it did not in time.
    bool AwaitNotice(const std::string& notice, int ms = 15000) {
        QElapsedTimer clock;
        clock.start();
        while (window->LastNotice().toStdString() != notice && clock.elapsed() < ms) {
            QTest::qWait(10);
        }
        return window->LastNotice().toStdString() == notice;
    }

    std::string savedStore;  // the database's bytes before a row damaged it
};

std::string StoreError(platform::Win32Error error) {
    return "the settings store cannot be read: " + monitor::SystemErrorText(error);
}

void SetWritable(const fs::path& db, bool writable) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ec;
        fs::permissions(db.string() + suffix, fs::perms::owner_write,
                        writable ? fs::perm_options::add : fs::perm_options::remove, ec);
    }
}

const Row kRows[] = {
    {"store read-only", [](FaultTable& t) { SetWritable(t.Db(), false); }, true,
     [](FaultTable&) { return StoreError(platform::ERROR_ACCESS_DENIED); },
     [](FaultTable& t) { SetWritable(t.Db(), true); }},
    {"store damaged",
     [](FaultTable& t) {
         t.savedStore = test::ReadFile(t.Db());
         fs::remove(t.Db().string() + "-wal");
         fs::remove(t.Db().string() + "-shm");
         test::WriteFile(t.Db(), std::string(4096, 'x'));
     },
     true, [](FaultTable&) { return StoreError(platform::ERROR_BADDB); },
     [](FaultTable& t) { test::WriteFile(t.Db(), t.savedStore); }},
    {"store damaged and replaced",
     [](FaultTable& t) {
         t.savedStore = test::ReadFile(t.Db());
         fs::remove(t.Db().string() + "-wal");
         fs::remove(t.Db().string() + "-shm");
         test::WriteFile(t.Db(), std::string(4096, 'x'));
     },
     true, [](FaultTable&) { return StoreError(platform::ERROR_BADDB); },
     [](FaultTable& t) {
         // A good copy moved into place: a new file under the old name.
         const fs::path copy = t.Db().string() + ".good";
         test::WriteFile(copy, t.savedStore);
         fs::rename(copy, t.Db());
     }},
    {"store deleted",
     [](FaultTable& t) {
         t.savedStore = test::ReadFile(t.Db());
         for (const char* suffix : {"", "-wal", "-shm"}) {
             fs::remove(t.Db().string() + suffix);
         }
     },
     false,
     [](FaultTable&) {
         return std::string("the settings store is missing: run kestrine-setup to make it");
     },
     [](FaultTable& t) { test::WriteFile(t.Db(), t.savedStore); }},
    {"driver killed",
     [](FaultTable& t) {
         auto old = t.Device();
         t.Device().reset();  // and it cannot be started again for now
         old->Lose();
     },
     false, [](FaultTable&) { return std::string("the monitoring driver has stopped"); },
     [](FaultTable& t) { t.Device() = std::make_shared<test::FakeMonitorDevice>(); }},
    {"driver stopped in order",
     [](FaultTable& t) {
         // As a service restart does: the ports are detached, their waits aborted, and it is
         // not there to be opened for a while.
         auto old = t.Device();
         t.Device().reset();
         old->StopInOrder();
     },
     false, [](FaultTable&) { return std::string("the monitoring driver has stopped"); },
     [](FaultTable& t) { t.Device() = std::make_shared<test::FakeMonitorDevice>(); }},
    {"driver hung",
     [](FaultTable& t) {
         // A hang shows when a request goes unanswered: here the list the window pushes.
         t.Device()->SetHung(true);
         t.Window().Core().SendStoredAllowList();
     },
     false, [](FaultTable&) { return std::string("the monitoring driver does not answer"); },
     [](FaultTable& t) { t.Device()->SetHung(false); }},
    {"driver hung while idle",
     [](FaultTable& t) {
         // Nothing is asked of it: the window's own look finds it out.
         t.Device()->SetHung(true);
     },
     false, [](FaultTable&) { return std::string("the monitoring driver does not answer"); },
     [](FaultTable& t) { t.Device()->SetHung(false); }},
    {"port locked by another process",
     [](FaultTable& t) {
         platform::RegKey key;
         ASSERT_EQ(
             t.Registry().CreateKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)",
                                    platform::KEY_WRITE, key),
             platform::ERROR_SUCCESS);
         key.SetString("COM3", "/dev/kestrine-test-modem");
         t.Device()->RefuseAttach(3, platform::ERROR_BUSY);
     },
     true,
     [](FaultTable&) {
         return "COM3: /dev/kestrine-test-modem cannot be attached: " +
                monitor::SystemErrorText(platform::ERROR_BUSY);
     },
     [](FaultTable& t) { t.Device()->RefuseAttach(3, platform::ERROR_SUCCESS); }},
    {"no port attachable", [](FaultTable& t) { t.Device()->SetAttachablePorts({}); }, true,
     [](FaultTable&) {
         return std::string(
             "no COM port could be attached: the driver serves none of COM1 to COM16");
     },
     [](FaultTable& t) {
         t.Device()->SetAttachablePorts({1, 3});
     }},
};

}  // namespace

TEST_P(FaultTable, IsShownLoggedLosesNothingAndProtectionComesBack) {
    const Row& row = GetParam();
    Prepare(test::Parental::Off, kStored);
    if (row.beforeStart) {
        row.cause(*this);
    }
    Open();
    if (!row.beforeStart) {
        ASSERT_TRUE(window->LastNotice().isEmpty()) << "a start that protects says nothing";
        row.cause(*this);
    }
    const std::string notice = kNotProtecting + row.reason(*this);
    ASSERT_TRUE(AwaitNotice(notice)) << window->LastNotice().toStdString();
    EXPECT_EQ(window->JvTrayIcon1.toolTip().toStdString(),
              "Tallowby Kestrine - not protecting: " + row.reason(*this));
    EXPECT_TRUE(prompts.Asked().empty()) << "no box";
    window->btnHideClick();  // whatever the window holds now is not saved over the store

    const auto pushedBefore = access.device ? access.device->AllowLists().size() : 0;
    row.mend(*this);
    ASSERT_TRUE(AwaitNotice(kProtectingAgain)) << window->LastNotice().toStdString();
    EXPECT_EQ(window->JvTrayIcon1.toolTip().toStdString(), "Tallowby Kestrine");
    EXPECT_EQ(Stored(), kStored);
    EXPECT_EQ(window->Items(), kStored);
    ASSERT_GT(access.device->AllowLists().size(), pushedBefore) << "the stored list reaches it";
    EXPECT_EQ(access.device->AllowLists().back(), monitor::BuildAllowListBuffer(kStored));
    EXPECT_FALSE(access.device->AttachedPorts().empty());

    const std::string log = Log();
    EXPECT_NE(log.find(": " + notice + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(std::string(": ") + kProtectingAgain + "\r\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& param) {
                             std::string name;
                             for (const char c : std::string(param.param.fault)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

namespace {

// A small file system of its own for the store, mounted over the private root and unmounted
// however the test ends (before the root's folder is removed).
class FullDisk : public test::WindowFixture {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting a small tmpfs for a full disk needs root";
        }
    }
    void TearDown() override {
        test::WindowFixture::TearDown();  // the window closes the store first
        for (const auto& folder : mounted_) {
            ::umount2(folder.c_str(), MNT_DETACH);
        }
    }
    // Puts `folder` on a small file system of its own (empty); false when that cannot be done.
    bool Mount(const fs::path& folder) {
        if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=512k,mode=0700") != 0) {
            return false;
        }
        mounted_.push_back(folder);
        return true;
    }
    // Fills the file system of `folder` up to its last page.
    static void Fill(const fs::path& folder) {
        std::ofstream filler(folder / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) {
        }
    }
    static void Free(const fs::path& folder) { fs::remove(folder / "filler"); }

private:
    std::vector<fs::path> mounted_;
};

}  // namespace

// Allow on a full disk: the alert stays open with the store's error, nothing is logged as added,
// list box, store and driver agree; once there is room again, Allow works. Protection holds
// throughout (the stored list is still read).
TEST_F(FullDisk, AllowThatCannotBeStoredSaysSoAndChangesNothing) {
    if (!Mount(root.Path())) {
        GTEST_SKIP() << "this machine does not let us mount a tmpfs: " << std::strerror(errno);
    }
    Prepare(test::Parental::Off, kStored);
    Open();
    Fill(root.Path());
    ui::TfrmBlocked* alert = nullptr;
    window->ShowBlockedAlert("0900123456", "dialled by an unknown program");
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<ui::TfrmBlocked*>(widget); found && found->isVisible()) {
            alert = found;
        }
    }
    ASSERT_NE(alert, nullptr);
    const auto pushed = access.device->AllowLists().size();
    prompts.ExpectCommonError("Failed to set data for '" +
                              numbers::Scramble("0900123456", numbers::TNumberList::kStoreKey) +
                              "'");
    alert->form.btnAllow->click();
    QApplication::processEvents();
    EXPECT_TRUE(alert->isVisible()) << "the alert stays for another try";
    EXPECT_EQ(Stored(), kStored);
    EXPECT_EQ(window->Items(), kStored);
    EXPECT_EQ(access.device->AllowLists().size(), pushed) << "nothing new reached the driver";
    EXPECT_EQ(Log().find("added to allow list."), std::string::npos);
    EXPECT_TRUE(window->LastNotice().isEmpty()) << "protection held";

    Free(root.Path());
    alert->form.btnAllow->click();
    QApplication::processEvents();
    std::vector<std::string> now = kStored;
    now.push_back("0900123456");
    EXPECT_EQ(Stored(), now);
    EXPECT_EQ(access.device->AllowLists().back(), monitor::BuildAllowListBuffer(now));
    EXPECT_NE(Log().find(": 0900123456 added to allow list.\r\n"), std::string::npos);
}

// Parental control switched on while the disk is full: the store refuses, so the box shows what
// the store holds (off) with the store's error, nothing is logged as turned on, and Exit asks no
// PIN because none guards it. With room again the same click works.
TEST_F(FullDisk, ASwitchTheStoreRefusesLeavesTheBoxAsStored) {
    if (!Mount(root.Path())) {
        GTEST_SKIP() << "this machine does not let us mount a tmpfs: " << std::strerror(errno);
    }
    Start(test::Parental::Off, kStored);
    Fill(root.Path());
    prompts.ExpectAskPIN("Enter Pin to enable parental control", true, "1234")
        .ExpectCommonError(
            "Failed to set data for '" +
            numbers::Scramble(numbers::TNumberList::kMarkerValue, numbers::TNumberList::kStoreKey) +
            "'");
    window->form.chkParental->click();
    EXPECT_TRUE(prompts.Done());
    EXPECT_FALSE(window->form.chkParental->isChecked());
    EXPECT_FALSE(window->form.btnSetPIN->isEnabled());
    EXPECT_FALSE(numbers::TNumberList(Registry()).IsParentalControlOn());
    EXPECT_EQ(Log().find("Parental Control Turned On"), std::string::npos);

    Free(root.Path());
    prompts.ExpectAskPIN("Enter Pin to enable parental control", true, "1234");
    window->form.chkParental->click();
    EXPECT_TRUE(window->form.chkParental->isChecked());
    EXPECT_TRUE(numbers::TNumberList(Registry()).IsParentalControlOn());
    EXPECT_NE(Log().find(": Parental Control Turned On\r\n"), std::string::npos);
}

// The log on a full disk: each line lands whole or not at all, and once there is room again the
// next line starts on a line of its own and the Log tab shows the file.
TEST_F(FullDisk, LogLinesLandWholeOrNotAtAll) {
    if (!Mount(programDir.Path())) {
        GTEST_SKIP() << "this machine does not let us mount a tmpfs: " << std::strerror(errno);
    }
    Start(test::Parental::Off, kStored);
    {
        // A line of the log's own that leaves 20 bytes of the file's last page: the next line
        // gets only part of the way before the disk is full.
        const std::string stamp = "12/10/26 05:03:09: ";
        const auto size = fs::file_size(programDir / "qdlog.log") + stamp.size() + 2;
        std::ofstream(programDir / "qdlog.log", std::ios::app | std::ios::binary)
            << stamp << std::string(8192 - 20 - size % 4096, 'p') << "\r\n";
    }
    Fill(programDir.Path());
    for (int i = 0; i < 50; ++i) {
        access.device->QueueEvent(
            1, monitor::EncodeNumberBlockedEvent("0900" + std::to_string(100000 + i)));
    }
    QElapsedTimer clock;
    clock.start();
    while (access.device->QueuedEvents(1) > 0 && clock.elapsed() < 10000) {
        QTest::qWait(10);
    }
    QTest::qWait(50);  // the last one's hand-over
    Free(programDir.Path());
    access.device->QueueEvent(1, monitor::EncodeNumberBlockedEvent("0900888888"));
    clock.restart();
    while (Log().find("0900888888 blocked") == std::string::npos && clock.elapsed() < 5000) {
        QTest::qWait(10);
    }
    const std::string log = Log();
    // Every line is a whole line of the log's own: a date, a time, ": " and a text.
    std::size_t begin = 0;
    while (begin < log.size()) {
        const auto end = log.find("\r\n", begin);
        ASSERT_NE(end, std::string::npos) << "a line without its end: " << log.substr(begin);
        const std::string line = log.substr(begin, end - begin);
        EXPECT_TRUE(line.starts_with("Logging started: ") ||
                    (line.size() > 19 && line[2] == '/' && line[17] == ':' &&
                     line.find('/', 9) == std::string::npos))
            << line;
        begin = end + 2;
    }
    EXPECT_NE(log.find(": 0900888888 blocked\r\n"), std::string::npos) << log;
    window->ViewLog1Click();
    EXPECT_NE(window->form.memLogfile->toPlainText().toStdString().find("0900888888 blocked"),
              std::string::npos);
}

// A log that cannot be written (here a folder in its place) loses the lines of refused numbers:
// that is shown while it lasts, and once the log takes lines again one line says how many events
// it missed, without another event having to come.
TEST_F(FaultTable, LostLogLinesAreShownAndCountedOnceTheLogWorksAgain) {
    Start(test::Parental::Off, kStored);
    const fs::path log = programDir / "qdlog.log";
    fs::remove(log);
    fs::create_directory(log);
    for (int i = 0; i < 3; ++i) {
        access.device->QueueEvent(
            1, monitor::EncodeNumberBlockedEvent("0900" + std::to_string(100000 + i)));
    }
    const std::string notice = std::string(kNotProtecting) + "the log cannot be written";
    ASSERT_TRUE(AwaitNotice(notice)) << window->LastNotice().toStdString();
    EXPECT_EQ(window->JvTrayIcon1.toolTip().toStdString(),
              "Tallowby Kestrine - not protecting: the log cannot be written");
    QElapsedTimer clock;
    clock.start();
    while (window->Core().Losses.Lost() < 3 && clock.elapsed() < 10000) {
        QTest::qWait(10);
    }
    ASSERT_EQ(window->Core().Losses.Lost(), 3u);

    fs::remove(log);
    ASSERT_TRUE(AwaitNotice(kProtectingAgain)) << window->LastNotice().toStdString();
    const std::string text = Log();
    EXPECT_NE(text.find(": 3 events could not be logged\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(": ") + kProtectingAgain + "\r\n"), std::string::npos) << text;
    EXPECT_EQ(window->Core().Losses.Lost(), 0u);
}

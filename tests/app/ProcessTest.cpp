// The application as a process: one instance per user, and the end of the session.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include "app/SessionEnd.h"
#include "app/SingleInstance.h"
#include "platform/SystemRoot.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
namespace fs = std::filesystem;

namespace {

// The address of the Unix socket at `path`.
sockaddr_un UnixAddress(const QString& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.toStdString();
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path));
    return address;
}

// A copy of the application in a folder of its own (its log lies beside it), started with a
// private system root and a private runtime folder.
class AppProcessTest : public ::testing::Test {
protected:
    test::TempDir programDir;
    test::PrivateRoot root;  // stops a driver the application started
    test::TempDir runtime;

    void SetUp() override { fs::copy_file(KESTRINE_BINARY, programDir / "kestrine"); }

    std::unique_ptr<QProcess> Launch() {
        auto process = std::make_unique<QProcess>();
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTRINE_ROOT", QString::fromStdString(root.Path().string()));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path().string()));
        process->setProcessEnvironment(env);
        process->setProgram(QString::fromStdString((programDir / "kestrine").string()));
        process->start();
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }

    // Waits until the running instance's socket is there, i.e. it has become the instance.
    bool AwaitInstance(const app::SingleInstance& names) const {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            if (QFile::exists(names.SocketPath()) && fs::exists(programDir / "qdlog.log")) {
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }
};

}  // namespace

TEST_F(AppProcessTest, ASecondStartTellsTheFirstAndEndsTouchingNothing) {
    app::SingleInstance first(app::kApplicationGuid,
                              QString::fromStdString(runtime.Path().string()));
    ASSERT_TRUE(first.Acquire());
    QSignalSpy created(&first, &app::SingleInstance::InstanceCreated);

    auto second = Launch();
    const qint64 secondPid = second->processId();
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    ASSERT_TRUE(created.count() == 1 || created.wait(5000));
    EXPECT_EQ(created.first().first().toLongLong(), secondPid);
    EXPECT_FALSE(fs::exists(root / "registry.db")) << "the store was not touched";
    EXPECT_FALSE(fs::exists(programDir / "qdlog.log")) << "the log was not touched";
}

TEST_F(AppProcessTest, HelpAndVersionAnswerAndEndWithoutStartingAnything) {
    const struct {
        const char* name;
        std::string program;
    } programs[] = {{"kestrine", (programDir / "kestrine").string()},
                    {"kestrine-setup", SETUP_BINARY},
                    {"qddriver", QDDRIVER_BINARY},
                    {"qdwatch", QDWATCH_BINARY}};
    for (const auto& [name, program] : programs) {
        for (const char* option : {"--help", "--version"}) {
            SCOPED_TRACE(std::string(name) + " " + option);
            QProcess process;
            // No display and a root that is not there: an answer needs neither.
            auto env = QProcessEnvironment::systemEnvironment();
            env.remove("DISPLAY");
            env.remove("WAYLAND_DISPLAY");
            env.remove("QT_QPA_PLATFORM");
            env.insert("KESTRINE_ROOT", QString::fromStdString((root / "missing").string()));
            env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path().string()));
            process.setProcessEnvironment(env);
            process.start(QString::fromStdString(program), {option});
            ASSERT_TRUE(process.waitForFinished(10000));
            EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
            const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
            if (std::string(option) == "--version") {
                EXPECT_EQ(out.toStdString(), std::string(name) + " " + KESTRINE_VERSION + "\n");
            } else {
                EXPECT_TRUE(
                    out.startsWith(QStringLiteral("usage: %1").arg(name), Qt::CaseInsensitive))
                    << out.toStdString();
            }
        }
    }
    EXPECT_FALSE(fs::exists(programDir / "qdlog.log")) << "kestrine logged nothing";
    EXPECT_TRUE(fs::is_empty(runtime.Path())) << "no instance started";
    EXPECT_FALSE(fs::exists(root / "missing"));
}

TEST_F(AppProcessTest, SurvivesACrashedFirstInstanceAndEndsOnSigterm) {
    const app::SingleInstance names(app::kApplicationGuid,
                                    QString::fromStdString(runtime.Path().string()));
    // What a crashed instance leaves: a lock naming a process that is gone, and a dead socket.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = UnixAddress(names.SocketPath());
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);  // the file stays, nobody listens
    }
    QString lockPath = names.SocketPath();
    lockPath.replace(".sock", ".lock");
    std::ofstream(lockPath.toStdString()) << "999999\nkestrine\nlocalhost\n";

    auto first = Launch();
    ASSERT_TRUE(AwaitInstance(names)) << first->readAllStandardError().toStdString();
    EXPECT_EQ(first->state(), QProcess::Running);

    auto second = Launch();
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);

    ::kill(static_cast<pid_t>(first->processId()), SIGTERM);
    ASSERT_TRUE(first->waitForFinished(10000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
}

// A driver that stops answering (SIGSTOP) holds the application up for no more than a request's
// time limit: SIGTERM still ends it, in order.
TEST_F(AppProcessTest, AHungDriverDoesNotKeepSigtermFromEndingIt) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    const app::SingleInstance names(app::kApplicationGuid,
                                    QString::fromStdString(runtime.Path().string()));
    auto first = Launch();
    ASSERT_TRUE(AwaitInstance(names)) << first->readAllStandardError().toStdString();
    pid_t driver = 0;
    QElapsedTimer clock;
    clock.start();
    while (driver <= 0 && clock.elapsed() < 10000) {
        std::ifstream(root / "run" / "QDDRIVER.pid") >> driver;
        QTest::qWait(20);
    }
    ASSERT_GT(driver, 0);
    ASSERT_EQ(::kill(driver, SIGSTOP), 0);

    ::kill(static_cast<pid_t>(first->processId()), SIGTERM);
    clock.restart();
    const bool ended = first->waitForFinished(15000);
    const auto took = clock.elapsed();
    ::kill(driver, SIGCONT);
    ASSERT_TRUE(ended);
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 0);
    EXPECT_LT(took, 10000) << "ms to end";
}

TEST_F(AppProcessTest, ASigtermDuringStartUpStillEndsInOrder) {
    // A driver image that takes its time to come up: it says that it started, waits until the
    // test lets it go on, then becomes the real driver. Meanwhile the application waits for it
    // inside its start-up.
    const fs::path image = platform::SystemDirectory(root.Path()) / "QDDRIVER.sys";
    fs::create_directories(image.parent_path());
    std::ofstream(image) << "#!/bin/sh\n"
                         << ": > \"$KESTRINE_ROOT/starting\"\n"
                         << "while [ ! -e \"$KESTRINE_ROOT/go\" ]; do sleep 0.02; done\n"
                         << "exec " << QDDRIVER_BINARY << "\n";
    fs::permissions(image, fs::perms::owner_all);
    root.MakeStore();

    auto app = Launch();
    QElapsedTimer clock;
    clock.start();
    while (!fs::exists(root / "starting") && clock.elapsed() < 10000) {
        QTest::qWait(10);
    }
    ASSERT_TRUE(fs::exists(root / "starting")) << app->readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(app->processId()), SIGTERM);
    std::ofstream(root / "go").close();

    ASSERT_TRUE(app->waitForFinished(20000));
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit) << "not killed by the signal";
    EXPECT_EQ(app->exitCode(), 0);
}

// The variables that name the graphical session, set for one case and put back afterwards.
class SessionVariables {
public:
    SessionVariables(const char* sessionId, const char* wayland, const char* display) {
        Set("XDG_SESSION_ID", sessionId);
        Set("WAYLAND_DISPLAY", wayland);
        Set("DISPLAY", display);
    }
    ~SessionVariables() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                qputenv(name, *value);
            } else {
                qunsetenv(name);
            }
        }
    }

private:
    void Set(const char* name, const char* value) {
        saved_.emplace_back(name, qEnvironmentVariableIsSet(name)
                                      ? std::optional<QByteArray>(qgetenv(name))
                                      : std::nullopt);
        if (value) {
            qputenv(name, value);
        } else {
            qunsetenv(name);
        }
    }
    std::vector<std::pair<const char*, std::optional<QByteArray>>> saved_;
};

TEST(SingleInstance, OneInstancePerUserAndGraphicalSession) {
    struct Row {
        const char* sessionId;
        const char* wayland;
        const char* display;
        const char* name;
    };
    for (const Row& row :
         {Row{"c2", "wayland-1", ":0", "c2"}, Row{nullptr, "wayland-1", ":0", "wayland-1"},
          Row{nullptr, nullptr, ":1.0", "_1"},
          Row{nullptr, nullptr, "localhost:10.0", "localhost_10"},
          Row{"../x", nullptr, nullptr, "___x"}, Row{nullptr, nullptr, nullptr, ""}}) {
        const SessionVariables session(row.sessionId, row.wayland, row.display);
        EXPECT_EQ(app::GraphicalSession().toStdString(), row.name);
    }

    test::TempDir runtime;
    const QString folder = QString::fromStdString(runtime.Path().string());
    auto instanceOn = [&](const char* display) {
        const SessionVariables session(nullptr, nullptr, display);
        return std::make_unique<app::SingleInstance>(app::kApplicationGuid, folder);
    };
    const auto first = instanceOn(":1");
    const auto other = instanceOn(":2");
    ASSERT_TRUE(first->Acquire());
    EXPECT_TRUE(other->Acquire()) << "another display of the same user runs its own instance";
    EXPECT_NE(first->SocketPath(), other->SocketPath());
    EXPECT_FALSE(instanceOn(":1.0")->Acquire()) << "a second start on the same display";
}

// Without a runtime folder of the user's own, a folder of its own in the shared /tmp stands in;
// anything else found under that name is not used.
TEST(SingleInstance, OnlyAPrivateFolderOfThisUserHoldsTheInstance) {
    test::TempDir shared;
    const QString sharedPath = QString::fromStdString(shared.Path().string());
    const fs::path own = shared / ("kestrine-" + std::to_string(::getuid()));
    const QString made = app::PrivateFolderIn(sharedPath);
    EXPECT_EQ(made.toStdString(), own.string());
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all);
    EXPECT_EQ(app::PrivateFolderIn(sharedPath), made) << "found again";

    fs::permissions(own, fs::perms::all);
    EXPECT_TRUE(app::PrivateFolderIn(sharedPath).isEmpty()) << "open to others";
    fs::remove(own);
    test::TempDir elsewhere;
    fs::permissions(elsewhere.Path(), fs::perms::owner_all);
    fs::create_symlink(elsewhere.Path(), own);
    EXPECT_TRUE(app::PrivateFolderIn(sharedPath).isEmpty()) << "a planted link";
}

// Callers that say nothing, or too much without a line, cost the running instance nothing: the
// next start is still heard.
TEST(SingleInstance, HearsEachStartPastSilentAndGarbledCallers) {
    test::TempDir runtime;
    app::SingleInstance instance(app::kApplicationGuid,
                                 QString::fromStdString(runtime.Path().string()));
    ASSERT_TRUE(instance.Acquire());
    QSignalSpy created(&instance, &app::SingleInstance::InstanceCreated);
    auto call = [&](const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = UnixAddress(instance.SocketPath());
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        return fd;
    };
    const int silent = call("");
    ::close(call(std::string(4096, '7')));
    ::close(call("12345\n"));
    ASSERT_TRUE(created.count() == 1 || created.wait(5000));
    EXPECT_EQ(created.first().first().toLongLong(), 12345);
    QTest::qWait(50);
    EXPECT_EQ(created.count(), 1) << "nothing was made of the garbled caller";
    ::close(silent);
}

// Another user who binds the instance's name first does not make a start end unprotected, and
// hears nothing from it.
TEST(SingleInstance, AnotherUsersSocketUnderTheNameDoesNotCount) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to play another user";
    }
    test::TempDir shared;
    fs::permissions(shared.Path(), fs::perms::all | fs::perms::sticky_bit);
    app::SingleInstance instance(app::kApplicationGuid,
                                 QString::fromStdString(shared.Path().string()));
    const std::string path = instance.SocketPath().toStdString();

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t squatter = ::fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        // As nobody: listen under the name, then tell how many bytes the first caller sent.
        ::close(report[0]);
        char received = 'x';
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(fd, 4) == 0) {
                const char ready = 'r';
                [[maybe_unused]] const auto told = ::write(report[1], &ready, 1);
                pollfd wait{fd, POLLIN, 0};
                received = '0';
                if (::poll(&wait, 1, 5000) == 1) {
                    const int caller = ::accept(fd, nullptr, nullptr);
                    pollfd data{caller, POLLIN, 0};
                    char byte = 0;
                    if (::poll(&data, 1, 2000) == 1 && ::read(caller, &byte, 1) == 1) {
                        received = '1';
                    }
                }
            }
        }
        [[maybe_unused]] const auto told = ::write(report[1], &received, 1);
        ::_exit(0);
    }
    ::close(report[1]);
    char ready = 0;
    ASSERT_EQ(::read(report[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'r');

    EXPECT_TRUE(instance.Acquire()) << "this start runs and protects";
    char received = 0;
    EXPECT_EQ(::read(report[0], &received, 1), 1);
    EXPECT_NE(received, '1') << "the squatter got this process's ID";
    ::close(report[0]);
    int status = 0;
    ::waitpid(squatter, &status, 0);
}

TEST(SessionEnd, TheSessionManagersOrderToEndAndSigtermEndTheSession) {
    app::SessionEnd end;
    QSignalSpy ending(&end, &app::SessionEnd::Ending);
    EXPECT_FALSE(end.Requested());

    // The order to end reaches the application as a Quit event; it is the end whatever windows
    // are open (an alert refuses to close, so Qt's own handling would ignore it).
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &quit);
    EXPECT_EQ(ending.count(), 1);
    EXPECT_TRUE(end.Requested());

    ::raise(SIGTERM);
    EXPECT_TRUE(ending.wait(5000));
    EXPECT_EQ(ending.count(), 2);
}

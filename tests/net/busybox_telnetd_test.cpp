// The telnet client against a real telnet server: busybox telnetd on loopback, running a
// small shell script that behaves like the unit's login and self-test.
#include "net/telnet_client.h"
#include "test_peer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

using namespace testpeer;

namespace {

class BusyboxTelnetd
{
public:
    BusyboxTelnetd()
    {
        char dir[] = "/tmp/tolvek-telnetd-XXXXXX";
        if (!mkdtemp(dir))
            return;
        dir_ = dir;
        script_ = dir_ + "/login.sh";
        std::ofstream(script_) << "#!/bin/sh\n"
                                  "printf 'unit login: '\n"
                                  "read user\n"
                                  "echo \"Welcome, $user\"\n"
                                  "while true; do\n"
                                  "  printf 'root@unit:~$ '\n"
                                  "  read cmd || exit 0\n"
                                  "  case \"$cmd\" in\n"
                                  "    tolvek) printf 'SN 0042\\ntest RTC passed\\ntest VAC "
                                  "failed: low\\ntests completed\\n' ;;\n"
                                  "    exit) exit 0 ;;\n"
                                  "    *) echo \"sh: $cmd: not found\" ;;\n"
                                  "  esac\n"
                                  "done\n";
        chmod(script_.c_str(), 0755);
        port_ = UnusedPort();
        pid_ = fork();
        if (pid_ == 0) {
            execlp("busybox", "busybox", "telnetd", "-F", "-K", "-p", port_.c_str(), "-b",
                   "127.0.0.1", "-l", script_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once it accepts a connection.
        for (int i = 0; i < 100 && !ready_; ++i) {
            TTCPBlockSocket probe;
            probe.Connect("127.0.0.1", port_);
            ready_ = probe.LastError() == 0;
            if (!ready_)
                SleepMs(30);
        }
    }
    ~BusyboxTelnetd()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!script_.empty())
            unlink(script_.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    bool Ready() const { return ready_; }
    const std::string& Port() const { return port_; }

private:
    std::string dir_, script_, port_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace

TEST(BusyboxTelnetd, LoginCommandReportAndLogout)
{
    BusyboxTelnetd server;
    ASSERT_TRUE(server.Ready()) << "busybox telnetd did not start";
    TTelnetSend t;
    t.TargetHost = "127.0.0.1";
    t.TargetPort = server.Port();
    t.Timeout = 3000;
    ASSERT_TRUE(t.Login()) << t.Sock.LastErrorText();
    ASSERT_TRUE(t.WaitForText("login:")) << t.Sock.LastError() << " log: " << t.SessionLog();
    t.Send("root\n");
    ASSERT_TRUE(t.WaitForText("$")) << t.SessionLog();
    t.Send("tolvek\n");
    std::vector<std::string> lines;
    for (int i = 0; i < 20; ++i) {
        std::string line = t.ReadLine();
        ASSERT_EQ(t.Sock.LastError(), 0) << t.SessionLog();
        lines.push_back(line);
        if (line.find("tests completed") != std::string::npos)
            break;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "SN 0042"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "test RTC passed"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "test VAC failed: low"), lines.end());
    EXPECT_EQ(lines.back(), "tests completed");
    // The negotiation never reached the text.
    EXPECT_EQ(t.SessionLog().find('\xFF'), std::string::npos);
    EXPECT_NE(t.SessionLog().find("Welcome, root"), std::string::npos);
    t.Send("exit\n");
    t.Logout();
    EXPECT_EQ(t.Sock.Socket(), INVALID_SOCKET);
}

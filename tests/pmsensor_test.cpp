// pmsensor against a pseudo-terminal: the slave stands at the program's device
// path and the test plays the sensor on the master side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef TEST_EMULATOR
#define TEST_EMULATOR ""
#endif

namespace {

using Bytes = std::vector<unsigned char>;

// Polls until ready() holds; false once the deadline has passed.
bool waitUntil(const std::function<bool()> &ready,
               std::chrono::seconds deadline = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string drain(int fd)
{
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

struct Result {
    std::string out, err;
    int status; // exit status, 128 + signal, or -1 when killed at the deadline
};

// Passed as outFd or errFd: the child starts with that descriptor closed.
const int closedFd = -2;

// The program as a child process (through the cross build's emulator, if any),
// standard output and error on pipes unless outFd or errFd is given; with
// leader, in a session of its own and without a controlling terminal, as a
// systemd service runs.
struct Child {
    pid_t pid = -1;
    int out = -1, err = -1, status = -1;

    explicit Child(const char *program, const std::vector<std::string> &args = {}, int outFd = -1,
                   int errFd = -1, bool leader = false)
    {
        std::vector<std::string> words;
        std::istringstream emulator(TEST_EMULATOR);
        for (std::string w; emulator >> w;)
            words.push_back(w);
        words.emplace_back(program);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);

        int o[2] = {-1, -1}, e[2] = {-1, -1};
        if (outFd == -1 && pipe2(o, O_CLOEXEC) != 0)
            return;
        if (errFd == -1 && pipe2(e, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            if (leader)
                setsid();
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            const int to[] = {outFd == -1 ? o[1] : outFd, errFd == -1 ? e[1] : errFd};
            for (int fd = 1; fd <= 2; ++fd)
                if (to[fd - 1] >= 0)
                    dup2(to[fd - 1], fd);
                else
                    close(fd);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        out = o[0];
        err = e[0];
        for (int fd : {o[1], e[1]})
            if (fd >= 0)
                close(fd);
    }
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
        if (err >= 0)
            close(err);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool exited()
    {
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, WNOHANG) == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid = -1;
        }
        return pid <= 0;
    }
    // Bytes the program has taken in through read() so far.
    long bytesRead() const
    {
        std::ifstream io("/proc/" + std::to_string(pid) + "/io");
        std::string key;
        long value = -1;
        while (io >> key >> value && key != "rchar:") {
        }
        return value;
    }
    Result finish()
    {
        if (!waitUntil([this] { return exited(); })) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
        Result r{out >= 0 ? drain(out) : "", err >= 0 ? drain(err) : "", status};
        out = err = -1;
        return r;
    }
};

// A fresh pseudo-terminal for every test, its slave linked at the device path.
class Line : public ::testing::Test {
  protected:
    int master = -1, slave = -1;

    void SetUp() override
    {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        // No echo, so that whatever reaches the master was written by the program.
        termios t{};
        tcgetattr(slave, &t);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(slave, TCSANOW, &t);
        unlink(TEST_DEVICE);
        ASSERT_EQ(symlink(ttyname(slave), TEST_DEVICE), 0);
    }
    void TearDown() override
    {
        if (master >= 0)
            close(master);
        close(slave);
        unlink(TEST_DEVICE);
    }
    termios settings() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    // Every test starts canonical, so the end of ICANON shows the program's
    // single tcsetattr has been applied.
    bool configured(Child &run) const
    {
        return waitUntil([&] { return run.exited() || !(settings().c_lflag & ICANON); }) &&
               !run.exited();
    }
    void send(const Bytes &bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // As a sensor sends: one byte every gap, by default the time a byte takes
    // on a 9600 baud 8N1 line.
    void sendPaced(const Bytes &bytes,
                   std::chrono::microseconds gap = std::chrono::microseconds(1042)) const
    {
        auto at = std::chrono::steady_clock::now();
        for (unsigned char b : bytes) {
            std::this_thread::sleep_until(at);
            send({b});
            at += gap;
        }
    }
    // What the program wrote to the line: the sensor expects nothing.
    std::string lineReceived() const
    {
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::string got;
        char buf[256];
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
    // Each byte only once the program has read the one before.
    void sendOneByOne(Child &run, const Bytes &bytes) const
    {
        const long base = run.bytesRead();
        for (size_t i = 0; i < bytes.size(); ++i) {
            send({bytes[i]});
            ASSERT_TRUE(waitUntil([&] {
                return run.exited() || run.bytesRead() >= base + static_cast<long>(i) + 1;
            }));
        }
    }
};

// Names each instance of a table-driven test after its case.
struct {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case> &p) const
    {
        return p.param.name;
    }
} const caseName;

struct ReadingCase {
    const char *name;
    Bytes frame;
    const char *line;
    enum {
        Whole,
        OneByOne,
        AfterStaleInput,
        AfterFrameTail,
        SpacedUnderSilence,
        AfterBurst
    } delivery = Whole;
    Bytes burst = {}; // AfterBurst: bytes handed over at once before the sensor's pause
    std::vector<std::string> args = {};
};
void PrintTo(const ReadingCase &c, std::ostream *os)
{
    *os << c.name;
}

class Readings : public Line, public ::testing::WithParamInterface<ReadingCase> {};

TEST_P(Readings, PrintsTheFrameCounts)
{
    const ReadingCase &c = GetParam();
    if (c.delivery == ReadingCase::AfterStaleInput)
        send({0x42, 0x4d, 0xff, 0xff, 0xff, 0xff, 0x01, 0x02, 0x05});
    Child run(TEST_PROGRAM, c.args);
    ASSERT_TRUE(configured(run));
    if (c.delivery == ReadingCase::OneByOne) {
        sendOneByOne(run, c.frame);
    } else if (c.delivery == ReadingCase::AfterFrameTail) {
        // The run started while a frame was on the line: its last bytes, the
        // sensor's pause, then a whole frame.
        sendPaced({0x22, 0x33, 0xab});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sendPaced(c.frame);
    } else if (c.delivery == ReadingCase::AfterBurst) {
        // More than a frame at once, as a buffer that held bytes while no one
        // read hands them over: no ten of them are a frame.
        send(c.burst);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sendPaced(c.frame);
    } else if (c.delivery == ReadingCase::SpacedUnderSilence) {
        sendPaced(c.frame, std::chrono::milliseconds(30));
    } else {
        send(c.frame);
    }
    const Result r = run.finish();
    EXPECT_EQ(r.out, c.line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lineReceived(), "");
}

const Bytes frame123and456{0xaa, 0xc0, 0x7b, 0x00, 0xc8, 0x01, 0x11, 0x22, 0x33, 0xab};
const char *const line123and456 = "PM2.5:12.300000 PM10:45.599998\n";

INSTANTIATE_TEST_SUITE_P(
    , Readings,
    ::testing::Values(
        ReadingCase{"Counts123And456", frame123and456, line123and456},
        ReadingCase{"Count12341AndZero",
                    {0, 0, 0x35, 0x30, 0, 0, 0, 0, 0, 0},
                    "PM2.5:1234.099976 PM10:0.000000\n"},
        ReadingCase{"LargestCounts",
                    {0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0},
                    "PM2.5:6553.500000 PM10:6553.500000\n"},
        // Interrupt, suspend, EOF, erase and kill characters, CR, NL, XON and
        // XOFF must all arrive as plain data.
        ReadingCase{"ControlBytesAsData",
                    {0x03, 0x1a, 0x0d, 0x0a, 0x11, 0x13, 0x04, 0x7f, 0x15, 0x00},
                    "PM2.5:257.299988 PM10:488.100006\n"},
        ReadingCase{"UnusedBytesIgnored",
                    {0xff, 0x00, 0x7b, 0x00, 0xc8, 0x01, 0x00, 0xff, 0x5a, 0xa5},
                    line123and456},
        ReadingCase{"BytesOneAtATime", frame123and456, line123and456, ReadingCase::OneByOne},
        ReadingCase{"EarlierInputDiscarded", frame123and456, line123and456,
                    ReadingCase::AfterStaleInput},
        ReadingCase{"StartedMidFrame", frame123and456, line123and456, ReadingCase::AfterFrameTail},
        ReadingCase{"GapsUnderTheSilence", frame123and456, line123and456,
                    ReadingCase::SpacedUnderSilence},
        // Old frames back to back from the middle of one, and a frame with
        // one byte more: the first ten bytes of each would read 4382.7/4932.2
        // and 12.3/45.6.
        ReadingCase{"OldFramesInABurstSkipped",
                    frame123and456,
                    line123and456,
                    ReadingCase::AfterBurst,
                    {0x11, 0x22, 0x33, 0xab, 0xaa, 0xc0, 0x00, 0x50, 0x00, 0x00, 0x11, 0x22,
                     0x33, 0xab, 0xaa, 0xc0, 0x00, 0x50, 0x00, 0x00, 0x11, 0x22, 0x33, 0xab}},
        ReadingCase{"ElevenBytesAreNoFrame",
                    {0, 0, 0x35, 0x30, 0, 0, 0, 0, 0, 0},
                    "PM2.5:1234.099976 PM10:0.000000\n",
                    ReadingCase::AfterBurst,
                    {0xaa, 0xc0, 0x7b, 0x00, 0xc8, 0x01, 0x11, 0x22, 0x33, 0xab, 0xab}},
        ReadingCase{"ArgumentsIgnored",
                    frame123and456,
                    line123and456,
                    ReadingCase::Whole,
                    {},
                    {"--help", "-d", "/dev/null"}}),
    caseName);

struct SettingsCase {
    const char *name;
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t vmin, vtime;
};
void PrintTo(const SettingsCase &c, std::ostream *os)
{
    *os << c.name;
}

class Settings : public Line, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(Settings, ConfigureTheLineAndKeepTheRest)
{
    const SettingsCase &c = GetParam();
    termios before = settings();
    before.c_iflag = c.iflag;
    before.c_oflag = c.oflag;
    before.c_cflag = c.cflag;
    before.c_lflag = c.lflag;
    before.c_cc[VMIN] = c.vmin;
    before.c_cc[VTIME] = c.vtime;
    cfsetospeed(&before, B1200);
    cfsetispeed(&before, B1200);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    before = settings(); // as the line holds them, which is what the program reads

    Child run(TEST_PROGRAM);
    ASSERT_TRUE(configured(run));
    const termios after = settings();

    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
    const tcflag_t iCleared = INLCR | ICRNL | IXON | IXANY | IXOFF | ISTRIP | IGNCR | PARMRK;
    const tcflag_t iSet = IGNBRK | INPCK | IGNPAR; // a break or a byte in error never a 0 byte
    const tcflag_t lCleared = ISIG | ICANON | ECHO | ECHOE;
    EXPECT_EQ(after.c_iflag & iCleared, 0u);
    EXPECT_EQ(after.c_iflag & iSet, iSet);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & lCleared, 0u);
    EXPECT_EQ(after.c_cc[VMIN], 1);

    // A pseudo-terminal forces CS8 and CREAD and drops PARENB itself, so those
    // bits prove nothing here; every other bit must be as it was.
    const tcflag_t cSet = CBAUD | CBAUDEX | CSIZE | PARENB | CSTOPB | CREAD;
    EXPECT_EQ(after.c_iflag & ~(iCleared | iSet), before.c_iflag & ~(iCleared | iSet));
    EXPECT_EQ(after.c_oflag & ~OPOST, before.c_oflag & ~OPOST);
    EXPECT_EQ(after.c_cflag & ~cSet, before.c_cflag & ~cSet);
    EXPECT_EQ(after.c_lflag & ~lCleared, before.c_lflag & ~lCleared);
    for (size_t i = 0; i < NCCS; ++i)
        if (i != VMIN) {
            EXPECT_EQ(after.c_cc[i], before.c_cc[i]) << "c_cc[" << i << "]";
        }

    // Bytes that ISTRIP, IGNCR or PARMRK would alter or drop come through as sent.
    send({0x00, 0x01, 0x0d, 0xff, 0xff, 0x8d, 0x0d, 0xff, 0x80, 0x0d});
    const Result r = run.finish();
    EXPECT_EQ(r.out, "PM2.5:6529.299805 PM10:3635.100098\n");
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    , Settings,
    ::testing::Values(SettingsCase{"OddBitsOn",
                                   INLCR | ICRNL | IXON | IXANY | IXOFF | ISTRIP | IGNCR | PARMRK |
                                       IGNBRK | BRKINT | INPCK,
                                   OPOST | ONLCR | OCRNL,
                                   CS7 | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS | HUPCL,
                                   ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN, 5, 7},
                      SettingsCase{"KeptBitsOff", ICRNL | ISTRIP | IGNCR | PARMRK, OPOST,
                                   CS8 | CSTOPB, ICANON | ECHO, 0, 3}),
    caseName);

struct FailureCase {
    const char *name;
    enum {
        NoDevice,
        NotATerminal,
        HangUpMidFrame,
        OutputFull,
        OutputPipeClosed,
        OutputClosed,
        ErrorClosedWriteFails,
        SecondReader
    } what;
    const char *err; // start of standard error, a single line; "" for nothing
    bool leader = false;
};
void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.name;
}

class Failures : public Line, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, ReportAndExit1)
{
    const FailureCase &c = GetParam();
    int outFd = -1, errFd = -1;
    std::unique_ptr<Child> first; // a run that holds the line
    if (c.what == FailureCase::NoDevice || c.what == FailureCase::NotATerminal) {
        unlink(TEST_DEVICE);
        if (c.what == FailureCase::NotATerminal) {
            ASSERT_EQ(symlink("/dev/null", TEST_DEVICE), 0);
        }
    } else if (c.what == FailureCase::OutputFull || c.what == FailureCase::ErrorClosedWriteFails) {
        outFd = open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (c.what == FailureCase::ErrorClosedWriteFails)
            errFd = closedFd;
    } else if (c.what == FailureCase::OutputPipeClosed) {
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        close(p[0]);
        outFd = p[1];
    } else if (c.what == FailureCase::OutputClosed) {
        outFd = closedFd;
    } else if (c.what == FailureCase::SecondReader) {
        first = std::make_unique<Child>(TEST_PROGRAM);
        ASSERT_TRUE(configured(*first));
    }
    Child run(TEST_PROGRAM, {}, outFd, errFd, c.leader);
    if (outFd >= 0)
        close(outFd);
    if (c.what == FailureCase::HangUpMidFrame) {
        ASSERT_TRUE(configured(run));
        sendOneByOne(run, {0xaa, 0xc0, 0x7b, 0x00});
        close(master);
        master = -1;
    } else if (c.what == FailureCase::SecondReader) {
        // The second run must give up by itself; the frame is the first's.
        waitUntil([&] { return run.exited(); }, std::chrono::seconds(3));
        send(frame123and456);
    } else if (c.what != FailureCase::NoDevice && c.what != FailureCase::NotATerminal) {
        // The program may rightly fail before it touches the line.
        if (configured(run))
            send(frame123and456);
    }
    const Result r = run.finish();
    EXPECT_EQ(r.out, "");
    if (*c.err == '\0') {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(r.status, 1);
    if (first) {
        const Result f = first->finish();
        EXPECT_EQ(f.out, line123and456);
        EXPECT_EQ(f.status, 0);
    }
    if (master >= 0) {
        EXPECT_EQ(lineReceived(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    , Failures,
    ::testing::Values(
        FailureCase{"NoDevice", FailureCase::NoDevice,
                    "Error opening serial port: No such file or directory\n"},
        FailureCase{"NotATerminal", FailureCase::NotATerminal,
                    "Error configuring serial port: Inappropriate ioctl for device\n"},
        FailureCase{"HangUpMidFrame", FailureCase::HangUpMidFrame, "Error reading serial port"},
        // A run with no controlling terminal must not take the port as one, or
        // the hang-up kills it with SIGHUP and no message.
        FailureCase{"HangUpMidFrameSessionLeader", FailureCase::HangUpMidFrame,
                    "Error reading serial port", true},
        FailureCase{"OutputFull", FailureCase::OutputFull,
                    "Error writing reading: No space left on device\n"},
        FailureCase{"OutputPipeClosed", FailureCase::OutputPipeClosed,
                    "Error writing reading: Broken pipe\n"},
        // Neither the reading nor a message may go out on the line instead.
        FailureCase{"OutputClosed", FailureCase::OutputClosed, "Error writing reading"},
        FailureCase{"ErrorClosedWriteFails", FailureCase::ErrorClosedWriteFails, ""},
        FailureCase{"SecondReader", FailureCase::SecondReader,
                    "Error opening serial port: Device or resource busy\n"}),
    caseName);

// Waits for the emulator's first line, which it prints once the device path
// is linked to its terminal; false if it ended without one.
bool linked(Child &sim)
{
    std::string line;
    char c = 0;
    while (read(sim.out, &c, 1) == 1 && c != '\n')
        line += c;
    return line.rfind("pmsensor-sim: sensor on " TEST_DEVICE " ", 0) == 0;
}

// A reading end to end through the sensor emulator, which removes its link
// when stopped and reports what readers wrote to the line. Its pauses between
// frames outlast the program's frame silence, so a run that starts mid-frame
// still reads the next whole frame.
TEST(Emulator, ReadingThroughItThenLinkRemovedOnStop)
{
    unlink(TEST_DEVICE);
    Child sim(SIM_PROGRAM,
              {"--pm25", "80.5", "--pm10", "6553.5", "--interval", "200", TEST_DEVICE});
    ASSERT_TRUE(linked(sim));
    Child reader(TEST_PROGRAM);
    const Result r = reader.finish();
    EXPECT_EQ(r.out, "PM2.5:80.500000 PM10:6553.500000\n");
    EXPECT_EQ(r.status, 0);
    kill(sim.pid, SIGTERM);
    const Result s = sim.finish();
    EXPECT_EQ(s.err, "pmsensor-sim: bytes written to the line by readers: 0\n");
    EXPECT_EQ(s.status, 0);
    struct stat st;
    EXPECT_NE(lstat(TEST_DEVICE, &st), 0);
}

// A reader that writes to the line makes the emulator fail.
TEST(Emulator, CountsBytesWrittenToTheLine)
{
    unlink(TEST_DEVICE);
    Child sim(SIM_PROGRAM, {"--interval", "200", TEST_DEVICE});
    ASSERT_TRUE(linked(sim));
    const int line = open(TEST_DEVICE, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    EXPECT_EQ(write(line, "AT\r", 3), 3);
    close(line);
    kill(sim.pid, SIGTERM);
    const Result s = sim.finish();
    EXPECT_EQ(s.err, "pmsensor-sim: bytes written to the line by readers: 3\n");
    EXPECT_EQ(s.status, 1);
}

// Bad options, and a file at the path that is not a link, are refused.
TEST(Emulator, RefusesBadOptionsAndNonLinks)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err; // start of standard error
    } cases[] = {
        {{"--pm25", "-1", TEST_DEVICE}, 2, "pmsensor-sim: --pm25 takes"},
        {{"--pm10", "6553.6", TEST_DEVICE}, 2, "pmsensor-sim: --pm10 takes"},
        {{"--interval", "fast", TEST_DEVICE}, 2, "pmsensor-sim: --interval takes"},
        {{TEST_DEVICE, "--count"}, 2, "pmsensor-sim: unknown option or missing value: '--count'"},
        {{"--colour", TEST_DEVICE}, 2, "pmsensor-sim: unknown option or missing value: '--colour'"},
        {{"--breaks", "4,10", TEST_DEVICE}, 2, "pmsensor-sim: --breaks needs --qemu-mux"},
        {{"--qemu-mux", "--breaks", "4,11", TEST_DEVICE}, 2, "pmsensor-sim: --breaks takes"},
        {{}, 2, "pmsensor-sim: give exactly one PATH"},
        {{TEST_DEVICE}, 1, "pmsensor-sim: " TEST_DEVICE " exists and is not a symbolic link"},
    };
    unlink(TEST_DEVICE);
    std::ofstream(TEST_DEVICE) << "not a terminal";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        Child sim(SIM_PROGRAM, c.args);
        const Result r = sim.finish();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    std::ifstream file(TEST_DEVICE);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "not a terminal");
    unlink(TEST_DEVICE);
}

// The program as built for the board: these tests never touch a real port.
TEST(ShippedProgram, ReportsMissingDevice)
{
    if (access(SHIPPED_DEVICE, F_OK) == 0)
        GTEST_SKIP() << SHIPPED_DEVICE << " exists; not touching a real port";
    Child run(SHIPPED_PROGRAM);
    const Result r = run.finish();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening serial port: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashMachException.h"

using namespace sys::mach;

namespace {

struct Seen {
    std::atomic<int> calls { 0 };
    mach_port_t task = 0, thread = 0;
    int type = 0;
    std::vector<std::uint64_t> codes;
    kern_return_t answer = KERN_SUCCESS;
};

kern_return_t record(mach_port_t task, mach_port_t thread, int type, const std::uint64_t* codes, std::uint32_t count, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    seen->task = task;
    seen->thread = thread;
    seen->type = type;
    seen->codes.assign(codes, codes + count);
    seen->calls.fetch_add(1);
    return seen->answer;
}

// An exception request in the platform's layout (64-bit codes), `size` bytes at least.
std::vector<std::uint8_t> request(mach_port_t to, mach_port_t reply, int type, const std::vector<std::uint64_t>& codes, std::uint32_t claimed, std::size_t size = 0)
{
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(68 + codes.size() * 8, size), 0);
    mach_msg_header_t header {};
    header.msgh_bits = 0x1513;
    header.msgh_size = static_cast<std::uint32_t>(bytes.size());
    header.msgh_remote_port = to;
    header.msgh_local_port = reply;
    header.msgh_id = 2405;
    std::memcpy(bytes.data(), &header, sizeof header);
    const std::uint32_t thread = 0x777, task = 0x203;
    std::memcpy(bytes.data() + 28, &thread, 4);
    std::memcpy(bytes.data() + 40, &task, 4);
    std::memcpy(bytes.data() + 60, &type, 4);
    std::memcpy(bytes.data() + 64, &claimed, 4);
    if (!codes.empty())
        std::memcpy(bytes.data() + 68, codes.data(), codes.size() * 8);
    return bytes;
}

struct Answer {
    kern_return_t received;
    std::int32_t id = 0;
    std::int32_t code = 0;
};

Answer send(std::vector<std::uint8_t> bytes, mach_port_t replyPort, std::uint32_t timeoutMs = 3000)
{
    auto* header = reinterpret_cast<mach_msg_header_t*>(bytes.data());
    EXPECT_EQ(mach_msg(header, MACH_SEND_MSG, static_cast<std::uint32_t>(bytes.size()), 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), KERN_SUCCESS);
    std::uint8_t buffer[64] = {};
    auto* answer = reinterpret_cast<mach_msg_header_t*>(buffer);
    Answer result { mach_msg(answer, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, replyPort, timeoutMs, MACH_PORT_NULL) };
    if (result.received == KERN_SUCCESS) {
        result.id = answer->msgh_id;
        std::memcpy(&result.code, buffer + 32, 4);
    }
    return result;
}

struct MVCrashMachExceptionServerTest : ::testing::Test {
    Seen seen;
    std::shared_ptr<MVCrashMachExceptionServer> server;
    mach_port_t replyPort = MACH_PORT_NULL;

    void SetUp() override
    {
        foundation::ErrorPtr error;
        server = MVCrashMachExceptionServer::initWithCallBack(record, &seen, &error);
        ASSERT_TRUE(server) << (error ? error->localizedDescription() : "");
        ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &replyPort), KERN_SUCCESS);
    }
    void TearDown() override
    {
        server.reset(); // stops the thread and waits for it
        mach_port_mod_receive_release(mach_task_self(), replyPort);
    }
};

} // namespace

TEST_F(MVCrashMachExceptionServerTest, ARequestIsAnsweredWithTheCallbacksResult)
{
    seen.answer = 5;
    const Answer answer = send(request(server->serverPort(), replyPort, 1, { 1, 0x10 }, 2), replyPort);
    ASSERT_EQ(answer.received, KERN_SUCCESS);
    EXPECT_EQ(answer.id, 2505) << "the reply id is the request id plus 100";
    EXPECT_EQ(answer.code, 5);
    EXPECT_EQ(seen.type, 1);
    EXPECT_EQ(seen.thread, 0x777u);
    EXPECT_EQ(seen.codes, (std::vector<std::uint64_t> { 1, 0x10 }));
}

TEST_F(MVCrashMachExceptionServerTest, MalformedRequestsAreRefusedOrDropped)
{
    // Shorter than a request: answered with failure.
    auto shortOne = request(server->serverPort(), replyPort, 1, {}, 0);
    shortOne.resize(40);
    reinterpret_cast<mach_msg_header_t*>(shortOne.data())->msgh_size = 40;
    Answer answer = send(shortOne, replyPort);
    ASSERT_EQ(answer.received, KERN_SUCCESS);
    EXPECT_EQ(answer.code, KERN_FAILURE);
    // Claiming more codes than it carries: dropped without an answer.
    answer = send(request(server->serverPort(), replyPort, 1, { 1 }, 1000), replyPort, 200);
    EXPECT_EQ(answer.received, MACH_RCV_TIMED_OUT);
    EXPECT_EQ(seen.calls.load(), 0);
}

TEST_F(MVCrashMachExceptionServerTest, AMessageLargerThanTheBufferIsReceivedWhole)
{
    std::vector<std::uint64_t> codes(1000);
    for (std::size_t i = 0; i < codes.size(); ++i)
        codes[i] = i;
    const Answer answer = send(request(server->serverPort(), replyPort, 3, codes, 1000), replyPort);
    ASSERT_EQ(answer.received, KERN_SUCCESS);
    EXPECT_EQ(seen.codes, codes);
}

TEST_F(MVCrashMachExceptionServerTest, NoSendersAndEarlyStopMessagesDoNotStopTheServer)
{
    // The last send right to the server goes: a no-senders notice arrives and is ignored.
    foundation::ErrorPtr error;
    auto port = server->exceptionPortWithMask(0x6E, &error);
    ASSERT_TRUE(port);
    port.reset();
    // A stop message before the server was asked to stop is an ordinary, too short, request.
    mach_msg_header_t stop {};
    stop.msgh_bits = 0x1513;
    stop.msgh_size = sizeof stop;
    stop.msgh_remote_port = server->notifyPort();
    stop.msgh_local_port = replyPort;
    stop.msgh_id = MVCRASH_STOP_MESSAGE_ID;
    std::vector<std::uint8_t> bytes(sizeof stop);
    std::memcpy(bytes.data(), &stop, sizeof stop);
    Answer answer = send(bytes, replyPort);
    ASSERT_EQ(answer.received, KERN_SUCCESS);
    EXPECT_EQ(answer.code, KERN_FAILURE);
    answer = send(request(server->serverPort(), replyPort, 6, { 1, 2 }, 2), replyPort);
    ASSERT_EQ(answer.received, KERN_SUCCESS);
    EXPECT_EQ(seen.calls.load(), 1);
}

TEST(MVCrashMachExceptionPorts, RegistrationReturnsTheEarlierPortsAndForwardingPicksTheirHandler)
{
    const mach_port_t task = mach_task_self();
    // An earlier handler: 32-bit codes, default behaviour, answering success.
    mach_port_t earlier = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &earlier), KERN_SUCCESS);
    ASSERT_EQ(mach_port_insert_right(task, earlier, earlier, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    MVCrashMachExceptionPort earlierRegistration(earlier, 0x6E, MVCRASH_EXCEPTION_DEFAULT, 7);
    ASSERT_TRUE(earlierRegistration.registerForTask(task, nullptr, nullptr));

    Seen seen;
    auto server = MVCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_TRUE(server);
    auto ours = server->exceptionPortWithMask(0x6E, nullptr);
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->behavior(), static_cast<std::int32_t>(MVCRASH_EXCEPTION_DEFAULT | MVCRASH_MACH_EXCEPTION_CODES));
    std::shared_ptr<MVCrashMachExceptionPortSet> previous;
    ASSERT_TRUE(ours->registerForTask(task, &previous, nullptr));
    ASSERT_TRUE(previous);
    const auto& record = previous->asyncSafeRepresentation();
    ASSERT_EQ(record.count, 1u);
    EXPECT_EQ(record.ports[0], earlier);
    EXPECT_EQ(record.masks[0], 0x6Eu);

    std::atomic<int> answered { 0 };
    std::thread handler([&] {
        std::uint8_t buffer[256] = {};
        auto* header = reinterpret_cast<mach_msg_header_t*>(buffer);
        if (mach_msg(header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, earlier, 3000, MACH_PORT_NULL) != KERN_SUCCESS)
            return;
        std::int32_t code0 = 0;
        std::memcpy(&code0, buffer + 68, 4);
        struct {
            mach_msg_header_t header;
            std::uint8_t ndr[8];
            std::int32_t code;
        } reply {};
        reply.header.msgh_size = sizeof reply;
        reply.header.msgh_remote_port = header->msgh_remote_port;
        reply.header.msgh_id = header->msgh_id + 100;
        reply.code = header->msgh_id == 2401 && code0 == 2 ? KERN_SUCCESS : KERN_FAILURE;
        mach_msg(&reply.header, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
        answered = 1;
    });
    const std::uint64_t codes[2] = { 0x100000002ULL, 0x10 }; // forwarded as 32-bit: 2
    EXPECT_EQ(MVCrashMachExceptionForward(task, 0x777, 1, codes, 2, &record), KERN_SUCCESS);
    handler.join();
    EXPECT_EQ(answered.load(), 1);

    // No registration for the type, or one that asked for 64-bit codes: not forwarded.
    EXPECT_EQ(MVCrashMachExceptionForward(task, 0x777, 12, codes, 2, &record), KERN_FAILURE);
    const auto ourRecord = MVCrashMachExceptionPortSet({ ours }).asyncSafeRepresentation();
    EXPECT_EQ(MVCrashMachExceptionForward(task, 0x777, 1, codes, 2, &ourRecord), KERN_FAILURE);

    // Put the task's ports back as they were.
    ASSERT_TRUE(earlierRegistration.registerForTask(task, nullptr, nullptr));
    MVCrashMachExceptionPort none(MACH_PORT_NULL, 0x6E, 0, 0);
    ASSERT_TRUE(none.registerForTask(task, nullptr, nullptr));
    previous.reset();
    server.reset();
    mach_port_mod_receive_release(task, earlier);
}

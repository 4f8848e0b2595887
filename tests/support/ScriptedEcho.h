// An echo service that answers each probe from a script and records what the
// window asked of it.
#pragma once

#include "probe/Module1.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Answer {
    Module1::ProbeStatus status = 0;
    std::int32_t roundTripTime = 1;
};

inline constexpr Module1::ProbeStatus kTimedOut = 11010;

class ScriptedEcho final : public Module1::EchoService {
public:
    std::vector<Answer> answers;   // past its end every probe gets a 1 ms reply
    std::size_t nextAnswer = 0;    // the answer to the next probe
    std::vector<bool> socketsOpen; // StartSockets results in order; past the end: true
    int starts = 0;
    int stops = 0;
    std::vector<std::string> addresses;
    std::vector<std::string> payloads;

    bool StartSockets() override
    {
        const std::size_t n = std::size_t(starts++);
        return n < socketsOpen.size() ? bool(socketsOpen[n]) : true;
    }
    Module1::ProbeStatus SendEcho(const std::string &address, const std::string &payload,
                                  Module1::EchoReply &reply) override
    {
        const Answer answer = nextAnswer < answers.size() ? answers[nextAnswer] : Answer{};
        ++nextAnswer;
        addresses.push_back(address);
        payloads.push_back(payload);
        if (answer.status < 0)
            return answer.status; // nothing sent, the record untouched
        reply.Status = answer.status;
        reply.RoundTripTime = answer.roundTripTime;
        return answer.status;
    }
    void StopSockets() override { ++stops; }
};

} // namespace testsupport

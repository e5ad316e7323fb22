// Translation latency: a loopback chat-completions server that starts answering after 300 ms
// and then gives 30 tokens a second. Streamed, the first Korean characters show once the first
// token is there; whole, nothing shows before the last.

#include "app/services/network/NebiusClient.h"
#include "tests/services/ChatAnswers.h"
#include "tests/services/FakeHttpService.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto firstTokenDelay = 300ms;
constexpr auto tokenInterval = std::chrono::milliseconds(1000 / 30);
constexpr int rounds = 5;

const QString english = QStringLiteral("Could you share the updated schedule with the whole team "
                                       "before Thursday's review meeting?");

// 30 tokens: one second of the model's output.
QStringList koreanTokens() {
    QStringList tokens;
    const QString korean = QStringLiteral("목요일 검토 회의 전에 업데이트된 일정을 팀 전체와 "
                                          "공유해 주실 수 있을까요? 감사합니다 네");
    for (qsizetype at = 0; at < korean.size(); at += 2)
        tokens << korean.mid(at, 2);
    return tokens.mid(0, 30);
}

struct Timing {
    double firstMs = 0;
    double completeMs = 0;
};

Timing measure(NebiusClient& client) {
    const auto start = Clock::now();
    std::optional<Clock::time_point> first;
    const QString korean =
        QCoro::waitFor(client.translateToKorean(english, {}, [&first](const QString& partial) {
            if (!first && !partial.isEmpty())
                first = Clock::now();
        }));
    const auto end = Clock::now();
    const auto ms = [start](Clock::time_point at) {
        return std::chrono::duration<double, std::milli>(at - start).count();
    };
    if (korean.isEmpty())
        qFatal("the translation came back empty");
    return {ms(first.value_or(end)), ms(end)};
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    return values[values.size() / 2];
}

void report(const char* name, NebiusClient& client) {
    std::vector<double> first, complete;
    for (int round = 0; round < rounds; ++round) {
        const Timing timing = measure(client);
        first.push_back(timing.firstMs);
        complete.push_back(timing.completeMs);
    }
    std::printf("translation %s: first Korean character after %.0f ms, complete after %.0f ms "
                "(median of %d)\n",
                name, median(first), median(complete), rounds);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    for (const char* name : {"NEBIUS_TOKEN_FACTORY_KEY", "RLY_TRANSLATION_KEY", "RLY_RELAY_URL",
                             "RLY_TRANSLATION_MODEL"})
        qunsetenv(name);
    FakeHttpService server;
    qputenv("RLY_TRANSLATION_URL", server.url("/v1").toEncoded());
    NebiusClient client;
    const QStringList tokens = koreanTokens();

    server.answerStream(ChatAnswers::streamed(tokens), firstTokenDelay, tokenInterval);
    report("streamed", client);
    server.answerJsonAfter(firstTokenDelay + tokenInterval * (tokens.size() + 1),
                           ChatAnswers::whole(tokens.join(QString())));
    report("whole", client);
    return 0;
}

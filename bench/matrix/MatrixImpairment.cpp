#include "MatrixImpairment.h"

#include <cstdio>

namespace zephyrscope::bench {

void MatrixImpairment::appendDropArguments(std::vector<std::string>& arguments) const
{
    using tools::impair::LossModel;
    const auto& p = params;
    char number[32];
    if (p.loss.kind == LossModel::Kind::Random || p.loss.kind == LossModel::Kind::GilbertElliott) {
        arguments.insert(arguments.end(), {"--loss", p.loss.kind == LossModel::Kind::Random ? "random" : "burst"});
        std::snprintf(number, sizeof number, "%g", p.loss.rate);
        arguments.insert(arguments.end(), {"--loss-rate", number});
        std::snprintf(number, sizeof number, "%g", p.loss.meanBurst);
        arguments.insert(arguments.end(), {"--burst-mean", number, "--seed", std::to_string(p.loss.seed)});
    }
    if (p.outage.durationUs > 0) {
        std::snprintf(number, sizeof number, "%g", static_cast<double>(p.outage.startUs) / 1e6);
        arguments.insert(arguments.end(), {"--outage-at", number});
        std::snprintf(number, sizeof number, "%g", static_cast<double>(p.outage.durationUs) / 1e6);
        arguments.insert(arguments.end(), {"--outage-for", number});
    }
}


namespace {

using tools::impair::LossModel;

MatrixImpairment randomLoss(const char* id, const char* label, double rate, std::uint64_t seed)
{
    MatrixImpairment row {id, label, {}};
    row.params.loss.kind = LossModel::Kind::Random;
    row.params.loss.rate = rate;
    row.params.loss.seed = seed;
    return row;
}

std::vector<MatrixImpairment> makeAll()
{
    std::vector<MatrixImpairment> rows;
    rows.push_back({"none", "none", {}});
    rows.push_back(randomLoss("loss-0.5", "random loss 0.5 %", 0.005, 1005));
    rows.push_back(randomLoss("loss-2", "random loss 2 %", 0.02, 1020));
    rows.push_back(randomLoss("loss-5", "random loss 5 %", 0.05, 1050));

    MatrixImpairment burst {"burst", "burst loss 2 %, mean burst 5", {}};
    burst.params.loss.kind = LossModel::Kind::GilbertElliott;
    burst.params.loss.rate = 0.02;
    burst.params.loss.meanBurst = 5.0;
    burst.params.loss.seed = 2005;
    rows.push_back(burst);

    MatrixImpairment outage {"outage-2s", "outage 2 s", {}};
    outage.outageMs = 2000;
    outage.params.outage.startUs = MatrixImpairments::kOutageStartMs * 1000;
    outage.params.outage.durationUs = outage.outageMs * 1000;
    rows.push_back(outage);

    MatrixImpairment delay {"delay-100-30", "delay 100 ms, jitter 30 ms", {}};
    delay.params.delay.delayUs = 100000;
    delay.params.delay.jitterUs = 30000;
    delay.params.delay.seed = 3100;
    rows.push_back(delay);

    MatrixImpairment cap {"cap-700k", "rate cap 700 kbit/s, queue 200 ms", {}};
    cap.params.rate.bitsPerSecond = MatrixImpairments::kCapBitsPerSecond;
    cap.params.rate.queueUs = MatrixImpairments::kCapQueueMs * 1000;
    rows.push_back(cap);

    MatrixImpairment repairs {"repairs-lost", "every copy of 1 in 50 (repairs lost)", {}};
    repairs.lostWithRepairsEvery = 50;
    rows.push_back(repairs);
    return rows;
}

} // namespace

const std::vector<MatrixImpairment>& MatrixImpairments::all()
{
    static const std::vector<MatrixImpairment> rows = makeAll();
    return rows;
}

std::vector<MatrixImpairment> MatrixImpairments::forProtocol(bool repairs)
{
    std::vector<MatrixImpairment> rows;
    for (const MatrixImpairment& row : all()) {
        if (row.lostWithRepairsEvery == 0 || repairs)
            rows.push_back(row);
    }
    return rows;
}

const MatrixImpairment* MatrixImpairments::find(const std::string& id)
{
    for (const MatrixImpairment& row : all()) {
        if (row.id == id)
            return &row;
    }
    return nullptr;
}

} // namespace zephyrscope::bench

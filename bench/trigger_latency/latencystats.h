#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

// p50, p99 and max of a set of durations, in microseconds (nearest rank).
struct LatencyStats
{
    double p50 = 0, p99 = 0, max = 0;
    size_t count = 0;

    static double us(std::chrono::steady_clock::duration d)
    {
        return std::chrono::duration<double, std::micro>(d).count();
    }

    static LatencyStats of(std::vector<double> samples)
    {
        LatencyStats s;
        s.count = samples.size();
        if (samples.empty())
            return s;
        std::sort(samples.begin(), samples.end());
        const auto rank = [&](double q) {
            const auto at = size_t(std::ceil(q * double(samples.size())));
            return samples[std::clamp<size_t>(at, 1, samples.size()) - 1];
        };
        s.p50 = rank(0.50);
        s.p99 = rank(0.99);
        s.max = samples.back();
        return s;
    }
};

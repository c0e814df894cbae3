// SPDX-License-Identifier: MIT
// Many random trees, each run clean and then with several faults at once,
// all held to the invariants of every survey run. Seeded and reproducible:
// ROOTSCOPE_RANDOM_SEED picks the seed, ROOTSCOPE_RANDOM_RUNS the count,
// and a failure names the seed and run that reproduce it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "SurveyRun.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr std::uint64_t kDefaultSeed = 0x5eedf00d2024ull;
constexpr std::uint64_t kDefaultRuns = 2000;

// splitmix64: small, and the same sequence on every platform and library,
// which the standard distributions do not promise.
class tRandom {
public:
    explicit tRandom(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
    bool oneIn(std::uint32_t n) { return below(n) == 0; }

    template <typename T, std::size_t N>
    const T& pick(const T (&values)[N]) {
        return values[below(N)];
    }

private:
    std::uint64_t state_;
};

// IDs that match, match only ignoring case, or almost match.
const char* const kIds[] = {
    "ACPI\\PNP0A03\\0", "ACPI\\PNP0A08\\1", "acpi\\pnp0a08\\2", "AcPi\\PnP0a03\\X", "ACPI\\PNP0A08\\",
    "ACPI\\PNP0A08",    "ACPI\\PNP0A0\\0",  "ACPI\\PNP0A09\\0", "ACPI/PNP0A08/0",  "XACPI\\PNP0A03\\0",
    "PCI\\VEN_8086&DEV_1237\\3", "",    "ACPI\\PNP0A03",      "ACPI\\PNP0A033\\0", "ACPI\\PNP0C0F\\1",
};

const std::uint32_t kBusNumbers[] = {0, 1, 15, 63, 64, 127, 254, 255, 256, 0x7fffffffu, 0x80000000u, 0xffffffffu};
const std::uint32_t kSizes[] = {20, 20, 20, 20, 0, 4, 19, 21, 64, 4096, 0xffffffffu};
const RESOURCEID kTypes[] = {ResType_BusNumber, ResType_BusNumber, ResType_Mem, ResType_IO, ResType_DMA,
                             ResType_IRQ, 5, 0xffffffffu};

CONFIGRET rarely(tRandom& random, CONFIGRET failure) {
    return random.oneIn(12) ? failure : CR_SUCCESS;
}

std::string randomId(tRandom& random) {
    switch (random.below(10)) {
        case 0:  // exactly the buffer, with no room for the terminator
            return std::string("ACPI\\PNP0A08\\") + std::string(MAX_DEVICE_ID_LEN - 13, 'z');
        case 1:  // one byte more than the buffer takes
            return std::string("ACPI\\PNP0A03\\") + std::string(MAX_DEVICE_ID_LEN - 12, 'y');
        default:
            return random.pick(kIds);
    }
}

tSimTree randomTree(tRandom& random) {
    tSimTree tree;
    tree.openSetFails = random.oneIn(40);
    tree.detailQueryFails = random.oneIn(40);
    if (random.oneIn(10)) {
        tree.heapFailsAfter = random.below(4);
    }
    if (random.oneIn(40)) {
        tree.enumError = ERROR_INVALID_USER_BUFFER;
    }
    const std::uint32_t nodes = random.below(9);
    for (std::uint32_t n = 0; n < nodes; ++n) {
        tSimNode node;
        node.id = randomId(random);
        node.idResult = rarely(random, random.oneIn(2) ? CR_FAILURE : CR_NO_SUCH_DEVNODE);
        node.started = random.oneIn(2);
        node.statusResult = rarely(random, CR_FAILURE);
        if (!random.oneIn(6)) {
            tSimBootConfig config;
            config.result = rarely(random, random.oneIn(2) ? CR_NO_MORE_LOG_CONF : CR_FAILURE);
            config.endResult = random.oneIn(15) ? CR_FAILURE : CR_NO_MORE_RES_DES;
            const std::uint32_t descriptors = random.below(6);
            for (std::uint32_t d = 0; d < descriptors; ++d) {
                tSimDescriptor descriptor;
                descriptor.type = random.pick(kTypes);
                descriptor.result = random.oneIn(25) ? (random.oneIn(2) ? CR_NO_MORE_RES_DES : CR_FAILURE)
                                                     : CR_SUCCESS;
                descriptor.base = random.oneIn(4) ? static_cast<std::uint32_t>(random.next()) : random.pick(kBusNumbers);
                descriptor.end = random.oneIn(4) ? static_cast<std::uint32_t>(random.next()) : random.pick(kBusNumbers);
                descriptor.size = random.pick(kSizes);
                descriptor.sizeResult = rarely(random, CR_FAILURE);
                descriptor.dataResult = rarely(random, random.oneIn(2) ? CR_FAILURE : CR_BUFFER_SMALL);
                config.descriptors.push_back(descriptor);
            }
            node.bootConfig = config;
        }
        tree.nodes.push_back(node);
    }
    return tree;
}

// A failure a call of this kind can report; "no more" where it means something.
CONFIGRET randomFailure(tRandom& random, tSimCall call) {
    if (call == tSimCall::FirstLogConf && random.oneIn(2)) {
        return CR_NO_MORE_LOG_CONF;
    }
    if (call == tSimCall::NextResDes && random.oneIn(2)) {
        return CR_NO_MORE_RES_DES;
    }
    if (call == tSimCall::EnumerateSet && random.oneIn(2)) {
        return static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS);
    }
    return random.oneIn(4) ? CR_INVALID_DEVNODE : CR_FAILURE;
}

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

TEST(RandomFaults, ManyTreesWithSeveralFaultsEach) {
    const std::uint64_t seed = fromEnvironment("ROOTSCOPE_RANDOM_SEED", kDefaultSeed);
    const std::uint64_t runs = fromEnvironment("ROOTSCOPE_RANDOM_RUNS", kDefaultRuns);
    std::uint64_t faultedRuns = 0;
    std::uint64_t faults = 0;
    std::uint64_t errors = 0;
    int failures = 0;
    for (std::uint64_t i = 0; i < runs && failures < 3; ++i) {
        tRandom random(seed + i * 0x9e3779b97f4a7c15ull);
        const tSimTree tree = randomTree(random);
        const tSurveyRun clean = runSurvey(tree);
        tFaultPlan plan;
        if (!clean.log.empty()) {
            const std::uint32_t count = 1 + random.below(3);
            for (std::uint32_t f = 0; f < count; ++f) {
                const std::uint64_t call = 1 + random.below(static_cast<std::uint32_t>(clean.log.size()));
                plan[call] = randomFailure(random, clean.log[call - 1].call);
            }
        }
        const tSurveyRun faulted = runSurvey(tree, plan);
        faultedRuns += plan.empty() ? 0 : 1;
        faults += plan.size();
        errors += faulted.exitCode == 1 ? 1 : 0;

        for (const tSurveyRun* run : {&clean, &faulted}) {
            const std::string problems = checkRun(*run);
            if (!problems.empty()) {
                ++failures;
                ADD_FAILURE() << "reproduce with ROOTSCOPE_RANDOM_SEED=" << seed << ", run " << i << " ("
                              << (run == &clean ? "clean" : describe(plan)) << "):\n"
                              << problems << "calls: " << describe(run->log) << "\nreport:\n"
                              << run->report << "\ntree:\n"
                              << fixtureText(tree);
                break;
            }
        }
    }
    RecordProperty("random_runs", std::to_string(runs));
    RecordProperty("seed", std::to_string(seed));
    std::cout << "[ random faults ] " << runs << " random trees (seed " << seed << "), " << faultedRuns
              << " of them rerun with " << faults << " faults, " << errors << " of those ended in an error"
              << std::endl;
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

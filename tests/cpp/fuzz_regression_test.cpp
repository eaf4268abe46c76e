// Replays the kept fuzz corpus (seeds and every input the fuzzer found) through the state reader
// checks, so the ordinary test run keeps covering them without clang or libFuzzer.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/state_checks.h"

namespace {

std::filesystem::path corpus_dir() {
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegression, EveryCorpusInputPassesTheStateChecks) {
    ASSERT_TRUE(std::filesystem::is_directory(corpus_dir())) << corpus_dir();
    std::size_t inputs = 0, accepted = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus_dir())) {
        if (!entry.is_regular_file()) continue;
        const std::vector<std::uint8_t> data = read_file(entry.path());
        EXPECT_EQ(tavrin::fuzz::check_state_bytes(data.data(), data.size()), "") << entry.path().filename();
        ++inputs;
        accepted += tavrin::from_bytes(data.data(), data.size()).has_value();
    }
    // The seeds alone hold valid states from play and near misses of every rule.
    EXPECT_GE(inputs, 20u);
    EXPECT_GE(accepted, 5u);
}

TEST(FuzzRegression, TheAcceptanceRuleOfTheChecksMatchesTheReaderOnANewGame) {
    const tavrin::StateBytes fresh = tavrin::to_bytes(tavrin::new_game());
    EXPECT_TRUE(tavrin::fuzz::expected_valid(fresh.data(), fresh.size()));
    EXPECT_EQ(tavrin::fuzz::check_state_bytes(fresh.data(), fresh.size()), "");
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            tavrin::StateBytes flipped = fresh;
            flipped[i] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_EQ(tavrin::fuzz::check_state_bytes(flipped.data(), flipped.size()), "") << i << ":" << bit;
        }
    }
}

}  // namespace

// The trained net as the search's guide: its policy over the legal placements as priors, its
// value head as the mover's expected outcome.
#pragma once

#include <span>

#include "game/net/net.h"
#include "game/search/mcts.h"

namespace tavrin::search {

// Borrows the net and an evaluator fitted to it (one per thread): made per search on the stack,
// it allocates nothing.
class NetGuide final : public Guide {
 public:
    NetGuide(const net::Net& net, net::Evaluator& evaluator) noexcept : net_(net), evaluator_(evaluator) {}

    // Priors: the softmax of the net's logits over `moves`. Value: the net's value for the mover,
    // and for each other agent an equal share of the rest of playout_value's total (1.5), since the
    // net predicts the mover's outcome only.
    bool evaluate(const Game& game, std::span<const std::uint16_t> moves, std::span<float> priors,
                  Outcome& value) override;

 private:
    const net::Net& net_;
    net::Evaluator& evaluator_;
};

}  // namespace tavrin::search

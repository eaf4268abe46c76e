#include "game/search/net_guide.h"

#include <algorithm>
#include <cmath>

namespace tavrin::search {

bool NetGuide::evaluate(const Game& game, std::span<const std::uint16_t> moves, std::span<float> priors,
                        Outcome& value) {
    evaluator_.run(net_, game);
    float top = -INFINITY;
    for (std::size_t k = 0; k < moves.size(); ++k) {
        priors[k] = evaluator_.logit(net_, moves[k]);
        top = std::max(top, priors[k]);
    }
    for (float& p : priors) p = std::exp(p - top);
    // The value head is trained on outcomes in [0, 1]; a net that strays is held to them.
    const float mine = std::clamp(evaluator_.value(net_), 0.0f, 1.0f);
    const std::size_t mover = game.agent_selection;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) value[a] = a == mover ? mine : (1.5f - mine) / 3.0f;
    return true;
}

}  // namespace tavrin::search

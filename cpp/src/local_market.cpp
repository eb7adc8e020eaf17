// The input check of a local market, shared by the Monte Carlo and finite-difference solvers.
#include "velmora/local_market.hpp"

#include <string>

#include "require.hpp"

namespace velmora {

void check_local_market(const LocalMarket& m, std::int64_t last_day) {
    const std::string where = "local market: ";
    const std::size_t days = static_cast<std::size_t>(std::max<std::int64_t>(last_day, 1));
    require(m.rate.size() >= days && m.yield.size() >= days,
            where + "rates and yields must cover every day to maturity (" +
                std::to_string(days) + ")");
    for (std::size_t d = 0; d < days; ++d)
        require(std::isfinite(m.rate[d]) && std::isfinite(m.yield[d]),
                where + "rates and yields must be finite");
    require(!m.vol_days.empty() && m.vol_days[0] == 0, where + "the vol rows must start on day 0");
    for (std::size_t k = 1; k < m.vol_days.size(); ++k)
        require(m.vol_days[k] > m.vol_days[k - 1], where + "the vol rows' days must ascend");
    require(m.nodes >= 1 && std::isfinite(m.x0) && std::isfinite(m.dx) && m.dx > 0.0,
            where + "the log-spot nodes need a finite start and a positive step");
    require(m.vol.size() == m.vol_days.size() * m.nodes,
            where + "the vol table must hold one value per row and node");
    for (double v : m.vol)
        require(std::isfinite(v) && v > 0.0, where + "local vols must be finite and positive");
}

} // namespace velmora

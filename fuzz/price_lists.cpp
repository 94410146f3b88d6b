// Downloaded price lists: each key of a LiteLLM document is counted once, and a models.dev
// document that is refused adds nothing.
#include <cstdint>
#include <string_view>

#include "pricing/table.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto overrides = qm::pricing::load_fast_multiplier_overrides();
  qm::pricing::PricingTable litellm;
  FUZZ_CHECK(qm::pricing::parse_litellm_prices(litellm, text, overrides) == litellm.prices.size());
  qm::pricing::PricingTable models_dev;
  if (!qm::pricing::parse_models_dev(models_dev, text)) FUZZ_CHECK(models_dev.prices.empty());
  return 0;
}

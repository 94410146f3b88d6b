# Compiled-in price data (src/pricing/data; the two tables come from scripts/gen-price-tables).
quillimare_embed(litellm_pricing ${CMAKE_SOURCE_DIR}/src/pricing/data/litellm-pricing.json)
quillimare_embed(models_dev_pricing ${CMAKE_SOURCE_DIR}/src/pricing/data/models-dev-pricing.json)
quillimare_embed(fast_multiplier_overrides ${CMAKE_SOURCE_DIR}/src/pricing/data/fast-multiplier-overrides.json)

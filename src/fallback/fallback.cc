#include "fallback/fallback.h"

// Placeholder: the table stays empty.
void load_fallback_table() {}
void free_fallbacks() {}

#pragma once
// Cheap tests that let a reader pass over a JSON line without parsing it: a line that names
// none of the members a reader looks for cannot give it anything. A member's name may be
// spelt with \u escapes, though, and the parser reads such a name as any other; a line that
// holds an escape of a character that names are made of is never passed over on that ground.
#include <initializer_list>
#include <string_view>

namespace qm::reader {

// Whether `line` holds `text` byte for byte.
bool mentions(std::string_view line, std::string_view text);

// Whether `line` holds a double quote and then `text`: `model"` for the name "model",
// `gen_ai.` for names that begin so. Faster than looking for the quote too, which JSON texts
// are full of.
bool mentions_quoted(std::string_view line, std::string_view text);

// Whether `line` holds a \u escape of an ASCII letter, '_' or '.'.
bool may_spell_names(std::string_view line);

// Whether `line` may name what one of `texts` begins (as for mentions_quoted): it mentions
// one after a quote, or it may spell names with escapes.
bool may_name(std::string_view line, std::initializer_list<std::string_view> texts);

}  // namespace qm::reader

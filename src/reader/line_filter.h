#pragma once
// Cheap tests that let a reader pass over a JSON line without parsing it: a line that names
// none of the members a reader looks for cannot give it anything. A member's name may be
// spelt with \u escapes, though, and the parser reads such a name as any other; a line that
// holds an escape of a character that names are made of is never passed over on that ground.
#include <initializer_list>
#include <string_view>

namespace qm::reader {

// Whether `line` holds `text` (a name with its quotes, say) byte for byte.
bool mentions(std::string_view line, std::string_view text);

// Whether `line` holds a \u escape of an ASCII letter, '_' or '.'.
bool may_spell_names(std::string_view line);

// Whether `line` may name one of `quoted` (names with their quotes): it mentions one, or it
// may spell names with escapes.
bool may_name(std::string_view line, std::initializer_list<std::string_view> quoted);

}  // namespace qm::reader

// What zvsim tells a user beyond the block's own messages: the option a
// misspelt one was meant to be, a model named with its suffix, and where
// the link was meant to go when it could not be made.
#pragma once

#include <string>
#include <vector>

namespace zvsim {

// The candidate closest to `word` in edits, when it is close enough to be
// a slip of the keyboard; empty otherwise.
std::string nearestWord(const std::string& word, const std::vector<std::string>& candidates);

// Non-empty when --model NAME cannot be what was meant: NAME ends in ".dat"
// and the block would look for NAME.dat, which is not in the folder.
std::string modelNameAdvice(const std::string& model);

// Where the link was to reach the solver, from zvlink.prm and ZVIHOME as the
// block reads them, for a run whose link could not be started.
std::string linkAdvice();

// What the block's refusal of the data file means, with the file, the folder
// and the product codes named (its own texts name none of them); empty for
// any other error.
std::string dataFileAdvice(const std::string& blockError, const std::string& model,
                           const std::string& product);

} // namespace zvsim

// The class name a destination gives: what the engine's script compiler takes
// as a class of its own, and a name to suggest when it would not.
#pragma once

#include <string>

// Empty when name can be the exported class; else why not. The compiler reads
// names without regard to case, so "actor" clashes with Actor.
std::string ClassNameProblem(const std::string& name);

// A name close to name that ClassNameProblem accepts (my-box: my_box; Actor: ActorModel).
std::string SuggestClassName(const std::string& name);

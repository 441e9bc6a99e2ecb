// The JSON library's compiled part, built into this program rather than linked as a shared
// library: one shared object fewer to load at start-up.
#include <boost/json/src.hpp>

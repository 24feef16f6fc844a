// The settings of an installed data provider, for the commands an operator runs from a shell:
// `qdvp console` and `qdvp check` read what the service reads. The unit qdvp@TYPE.service takes
// its environment from /etc/qdvp/qdvp.env and then /etc/qdvp/TYPE.env; an operator's shell has
// none of it. These commands therefore take every variable the environment does not set from
// those files, in the unit's order (the type's file wins over qdvp.env, the environment over
// both). QDVP_CONFIG_DIR names another directory than /etc/qdvp (tests, a second install).
#pragma once

#include <string>
#include <vector>

namespace qdvp_host {

// Sets, from the directory's qdvp.env and TYPE.env (TYPE the type's name in lower case), every
// variable the environment leaves unset or empty. Missing files are no error; returns the
// files read, for the messages of the caller.
std::vector<std::string> LoadInstalledSettings(int type);

}  // namespace qdvp_host

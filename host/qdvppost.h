// qdvp post: posts one message to a running POST data provider.
#pragma once

namespace qdvp_host {

// qdvp post [--host H] [--port P] [--udp] [--category C] TEXT... (argv[first] is the first
// argument after "post"). Exit status 0 with the acknowledgement stamp printed (nothing to
// print over UDP), 1 when the data provider refused or did not answer in 5 seconds, 2 for a
// bad command line.
int RunPostCommand(int argc, char **argv, int first);

}  // namespace qdvp_host

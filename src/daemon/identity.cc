#include "daemon/identity.h"

// Placeholder: no PID file, no user switch, no detaching yet.
void establish_process_identity() {}
void remove_pid_file() {}

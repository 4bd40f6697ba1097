// Linux backend, the entry point: the arguments are kept for
// platform_command_line, and the run's result is the exit status.

#include "dir_watcher.h"
#include "platform_linux.h"

int main(int argc, char** argv)
{
    platform_keep_arguments(argc, argv);
    return run_dir_watcher();
}

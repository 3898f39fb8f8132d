#include "packer/host/entry.h"

int main(int argc, char **argv)
{
    return RunLauncherPack(argc, argv);
}

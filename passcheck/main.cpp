#include "passcheck.h"

int main(int argc, char **argv)
{
    return passcheckMain(argc, argv);
}

#include "CorvaneV3.h"

int main(int argc, char** argv)
{
    return Principal(argc, argv);
}

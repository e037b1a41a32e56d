#include "engine.h"

int main(int argc, char** argv) {
    return zvsim::zvsimMain(argc, argv);
}

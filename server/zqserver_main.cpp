#include "server/server.h"

int main(int argc, char **argv) {
    return srv_main(argc, argv);
}

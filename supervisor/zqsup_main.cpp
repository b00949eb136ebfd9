#include "sup.h"

int main(int argc, char **argv) {
    return sup_main(argc, argv);
}

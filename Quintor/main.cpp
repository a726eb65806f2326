// Entry of the timelapse application. Until the application itself stands, it answers its
// version and says what it does not do yet.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quintor %s\n", QUINTOR_VERSION);
            return 0;
        }
    }
    std::printf("quintor %s\n", QUINTOR_VERSION);
    std::fprintf(stderr, "quintor: making timelapse movies is not built yet; only --version works.\n");
    return argc > 1 ? 1 : 0;
}

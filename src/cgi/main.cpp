// The life of one CGI request: start-up, one dispatcher, one finish.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-version") == 0) {
            std::printf("Version: %s v%s \n", "Larkspur", "2.8a");
            return 0;
        }
        if (std::strcmp(argv[i], "-build") == 0) {
            std::printf("Version: %.200s v%.200s (build %.200s)\n", "Larkspur", "2.8a", "10b");
            return 0;
        }
    }
    return 0;
}

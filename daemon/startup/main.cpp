#include <cstdio>

int main()
{
    std::fputs("halvorn: start-up is not built yet\n", stderr);
    return 1;
}

#include <cstdio>

int main()
{
    std::printf("General usage:\t kyvane -a tiltangs_file -i tiltseries\n");
    return 0;
}

#include <cpuid.h>
#include <pthread.h>
#include <sched.h>

#include <cstdint>
#include <cstring>

#include "host/sysinfo.h"
#include "host/sysinfo_env.h"

namespace {

void store_words(char *out, uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    std::memcpy(out, &a, 4);
    std::memcpy(out + 4, &b, 4);
    std::memcpy(out + 8, &c, 4);
    std::memcpy(out + 12, &d, 4);
}

}  // namespace

int sysinfo_has_cpuid()
{
    return 1;
}

int sysinfo_has_sse()
{
    return 1;
}

int sysinfo_has_avx()
{
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    if ((c & 0x18000000u) != 0x18000000u) return 0;  // OSXSAVE and AVX
    uint32_t xcr0_lo, xcr0_hi;
    __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    (void)xcr0_hi;
    return (xcr0_lo & 6u) == 6u ? 1 : 0;  // OS saves XMM and YMM state
}

void sysinfo_strip_leading_blanks(char *text)
{
    char *p = text;
    while (*p == ' ') ++p;
    if (p != text) std::memmove(text, p, std::strlen(p) + 1);
}

void sysinfo_brand_string(char *out)
{
    out[0] = '\0';
    unsigned a, b, c, d;
    __cpuid(0x80000000u, a, b, c, d);
    if (a < 0x80000004u) return;
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
        __cpuid(0x80000002u + leaf, a, b, c, d);
        store_words(out + 16 * leaf, a, b, c, d);
    }
    // The processor terminates the string within the 48 bytes; strip only
    // up to that terminator.
    if (std::memchr(out, '\0', 48) == nullptr) return;
    sysinfo_strip_leading_blanks(out);
}

void sysinfo_vendor_string(char *out)
{
    unsigned a, b, c, d;
    __cpuid(0, a, b, c, d);
    std::memcpy(out, &b, 4);
    std::memcpy(out + 4, &d, 4);
    std::memcpy(out + 8, &c, 4);
    out[12] = '\0';
}

void *sysinfo_cpuid_thread(void *arg)
{
    sysinfo_t *r = static_cast<sysinfo_t *>(arg);
    if (sysinfo_has_cpuid() == 1) {
        r->features |= SYSINFO_CPUID;
        if (sysinfo_has_sse() == 1) r->features |= SYSINFO_SSE;
        if (sysinfo_has_avx() == 1) r->features |= SYSINFO_AVX;
        sysinfo_brand_string(r->model_name);
        if (r->model_name[0] == '\0')
            std::strcpy(r->model_name, "Pentium III or earlier processor");
        sysinfo_vendor_string(r->vendor_id);
    }
    pthread_exit(nullptr);
}

int sysinfo_pinned_cpuid_run(int cpu, sysinfo_t *record)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    cpu_set_t set;  // 1024 CPUs
    CPU_ZERO(&set);
    if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &set);
    int rc = -1;
    if (pthread_attr_setaffinity_np(&attr, sizeof set, &set) == 0) {
        pthread_t thread;
        if (pthread_create(&thread, &attr, sysinfo_cpuid_thread, record) == 0) {
            pthread_join(thread, nullptr);
            rc = 0;
        }
    }
    pthread_attr_destroy(&attr);
    return rc;
}

int sysinfo_allowed_cpus(const sysinfo_env_t *env, cpu_set_t *out)
{
    if (env->allowed != nullptr) {
        *out = *env->allowed;
        return 1;
    }
    CPU_ZERO(out);
    if (sched_getaffinity(0, sizeof *out, out) != 0 || CPU_COUNT(out) == 0) return 0;
    return 1;
}

int sysinfo_cpu_allowed(const cpu_set_t *set, int cpu)
{
    return cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(cpu, set);
}

int sysinfo_first_allowed(const cpu_set_t *set)
{
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, set)) return c;
    return -1;
}

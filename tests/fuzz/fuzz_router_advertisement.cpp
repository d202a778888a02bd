// libFuzzer target: router-advertisement option messages come straight from the network.
#include "RouterAdvertisement.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const RouterAdvertisementOptions options = RouterAdvertisement::parse(data, size);
    if (!options.valid && !(options.nameservers.isEmpty() && options.searchDomains.isEmpty()))
        std::abort();
    // Every name server takes 16 bytes of the message and every domain at least two.
    if (std::size_t(options.nameservers.size()) * 16 + std::size_t(options.searchDomains.size()) * 2 > size)
        std::abort();
    for (const QString &domain : options.searchDomains) {
        if (domain.isEmpty())
            std::abort();
    }
    return 0;
}

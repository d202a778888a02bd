// libFuzzer target: router-advertisement option messages come straight from the network.
#include "RouterAdvertisement.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const RouterAdvertisementOptions options = RouterAdvertisement::parse(data, size);
    check(options.valid || (options.nameservers.isEmpty() && options.searchDomains.isEmpty()));
    // Every name server takes 16 bytes of the message and every domain at least two.
    check(std::size_t(options.nameservers.size()) * 16 + std::size_t(options.searchDomains.size()) * 2 <= size);
    for (const QString &domain : options.searchDomains)
        check(!domain.isEmpty());
    return 0;
}

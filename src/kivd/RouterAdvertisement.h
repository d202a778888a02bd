#pragma once

#include <QStringList>

#include <cstddef>

// The name servers and search domains one router advertisement carries, as the kernel forwards
// them in an RTM_NEWNDUSEROPT message (struct nduseroptmsg followed by the ND options).
struct RouterAdvertisementOptions
{
    bool valid = false;
    int interfaceIndex = 0;
    QStringList nameservers;
    QStringList searchDomains;
};

namespace RouterAdvertisement {

constexpr int OptionRdnss = 25;
constexpr int OptionDnssl = 31;
constexpr int IcmpRouterAdvertisement = 134;

// Decodes the message payload; never reads outside [data, data + size). Invalid or foreign
// messages give valid == false; malformed options end the walk, keeping what came before.
RouterAdvertisementOptions parse(const unsigned char *data, std::size_t size);

} // namespace RouterAdvertisement

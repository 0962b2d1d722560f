#!/usr/bin/python3
"""What `ip -j addr` says about this namespace, in the rows that the transport
list and the management queries of the local computer must give.

    local_methods_oracle.py netapi   "MAC|transport name" per interface that is
                                     up, not loopback, with a non-zero
                                     Ethernet address
    local_methods_oracle.py wmi      "MAC|name|addresses|index" per interface
                                     that is up, not loopback, with an IPv4
                                     address and a hardware address
Rows in interface-index order; MACs upper case with "-".
"""
import json
import subprocess
import sys


def main():
    mode = sys.argv[1]
    out = subprocess.run(["ip", "-j", "addr", "show"], check=True, capture_output=True, text=True)
    links = sorted(json.loads(out.stdout), key=lambda l: l["ifindex"])
    for link in links:
        flags = link.get("flags", [])
        if "UP" not in flags or "LOOPBACK" in flags:
            continue
        mac = link.get("address", "")
        has_mac = link.get("link_type") == "ether" and mac and mac != "00:00:00:00:00:00"
        mac_text = mac.upper().replace(":", "-")
        if mode == "netapi":
            if has_mac:
                print(mac_text + "|\\Device\\NetBT_Tcpip_" + link["ifname"])
        elif mode == "wmi":
            inet = [a["local"] for a in link.get("addr_info", []) if a.get("family") == "inet"]
            if inet and has_mac:
                print("|".join([mac_text, link["ifname"], ", ".join(inet), str(link["ifindex"])]))
        else:
            sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()

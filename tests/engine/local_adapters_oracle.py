#!/usr/bin/python3
"""What `ip -j` says about this namespace's interfaces, in the rows the
local-adapter tests compare against.

    local_adapters_oracle.py items   one row per IPv4 address of every interface
                                     that is up and not loopback:
                                     "name index address mask"
    local_adapters_oracle.py links   one row per interface:
                                     "name index up|down loopback|other mac"
"""
import ipaddress
import json
import subprocess
import sys


def ip_json(*args):
    out = subprocess.run(["ip", "-j", *args], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    mode = sys.argv[1]
    if mode == "items":
        for link in ip_json("addr", "show"):
            flags = link.get("flags", [])
            if "UP" not in flags or "LOOPBACK" in flags:
                continue
            for a in link.get("addr_info", []):
                if a.get("family") != "inet":
                    continue
                mask = ipaddress.IPv4Network("0.0.0.0/%d" % a["prefixlen"]).netmask
                print(link["ifname"], link["ifindex"], a["local"], mask)
    elif mode == "links":
        for link in ip_json("link", "show"):
            flags = link.get("flags", [])
            print(link["ifname"], link["ifindex"], "up" if "UP" in flags else "down",
                  "loopback" if "LOOPBACK" in flags else "other", link.get("address", ""))
    else:
        sys.exit("unknown mode " + mode)


main()

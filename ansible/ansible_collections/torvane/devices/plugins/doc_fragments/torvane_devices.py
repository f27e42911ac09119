# SPDX-License-Identifier: Apache-2.0
"""The options that every module of torvane.devices takes, documented once
(extends_documentation_fragment: torvane.devices.torvane_devices)."""
from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  broadcast:
    description:
      - Address to send the discovery request to, such as the subnet's broadcast address
        C(10.0.1.255), on a site host with several networks (the program's default
        C(255.255.255.255)).
    type: str
  wait:
    description: Listen for discovery answers this many seconds, 1 to 3600.
    type: int
  binary:
    description: Path of torvane-devices on the site host (default C(torvane-devices) on the PATH).
    type: path
'''

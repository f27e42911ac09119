#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0
"""The module torvane.devices.devices_facts: the devices that torvane-devices list (or info by id)
finds from a site host, as the fact torvane_devices."""
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: devices_facts
short_description: Find the Torvane devices on a site's LAN
version_added: "1.0.0"
description:
  - Runs C(torvane-devices list --json) on the site host, or C(torvane-devices info --id ... --json)
    when I(ids) are given, and returns the devices found as the fact C(torvane_devices).
  - Nothing is written to any device.
options:
  ids:
    description:
      - Ids of the devices to look for (six hex pairs, C(aa:bb:cc:dd:ee:ff)). The task fails when
        one of them is not found or is answered by two devices.
    type: list
    elements: str
extends_documentation_fragment:
  - torvane.devices.torvane_devices
  - action_common_attributes
  - action_common_attributes.facts
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
  platform:
    platforms: posix
notes:
  - Discovery is a limited broadcast, which no router passes on; run this on a host on the devices'
    own segment. No device found is not a failure; the list is then empty.
seealso:
  - module: torvane.devices.update
author:
  - Torvane developers
'''

EXAMPLES = r'''
- name: Find the devices of the site
  torvane.devices.devices_facts:

- name: Show those that this collection can update
  ansible.builtin.debug:
    msg: "{{ torvane_devices | selectattr('supported') | map(attribute='address') | list }}"

- name: Check that the devices on the site's list are there
  torvane.devices.devices_facts:
    ids: "{{ site_device_ids }}"
'''

RETURN = r'''
ansible_facts:
  description: Facts added.
  returned: success, and on failure when torvane-devices wrote its document
  type: dict
  contains:
    torvane_devices:
      description: One entry per device that answered discovery, or per id asked for.
      returned: always
      type: list
      elements: dict
      contains:
        address:
          description: The device's IPv4 address; null for an id that nobody answered.
          type: str
        id:
          description: The device's id, null when it did not identify itself.
          type: str
        type:
          description: The device type it announced, null when it did not identify itself.
          type: int
        supported:
          description: Whether torvane-devices updates this type.
          type: bool
        answered:
          description: Whether it answered the identify request.
          type: bool
        reason:
          description:
            - Null for a device that answered, else C(no_answer), C(socket_error), C(not_found)
              (an id nobody answered with) or C(duplicate_id) (an id more than one device
              answered with).
          type: str
      sample:
        - {address: 10.0.0.11, id: "00:1b:2c:3d:4e:5f", type: 1, supported: true, answered: true,
           reason: null}
rc:
  description: The exit status of torvane-devices.
  returned: always
  type: int
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.torvane.devices.plugins.module_utils.torvane_devices import (
    COMMON_OPTIONS, device_name, discovery_arguments, run_devices, status_text)

FACT_MEMBERS = ('address', 'id', 'type', 'supported', 'answered', 'reason')


def main():
    module = AnsibleModule(
        argument_spec=dict(COMMON_OPTIONS, ids=dict(type='list', elements='str')),
        supports_check_mode=True)
    ids = module.params['ids'] or []
    options = discovery_arguments(module.params) + ['--id=%s' % device_id for device_id in ids]
    status, document, result = run_devices(module, 'info' if ids else 'list', options)
    devices = [dict((member, device.get(member)) for member in FACT_MEMBERS)
               for device in document['devices']]
    result.update(changed=False, ansible_facts=dict(torvane_devices=devices))
    # list ends with 1 when nobody answered: an empty site, not a failure.
    if status != 0 and (ids or status != 1):
        missing = [device_name(d) + ' (%s)' % d.get('reason') for d in document['devices']
                   if d.get('reason')]
        module.fail_json(msg='torvane-devices ended with status %d, %s: %s' % (
            status, status_text(status), '; '.join(missing) or 'see stderr_lines'), **result)
    # Ansible takes a result with a status other than 0 for a failure unless it says otherwise.
    module.exit_json(failed=False, **result)


if __name__ == '__main__':
    main()

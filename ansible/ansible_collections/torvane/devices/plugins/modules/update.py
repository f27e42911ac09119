#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0
"""The module torvane.devices.update: torvane-devices update on a site host, its result (JSON
format 1) turned into the task's result."""
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: update
short_description: Install a firmware image into the Torvane devices of a site
version_added: "1.0.0"
description:
  - Runs C(torvane-devices update --json) on the site host, which must be on the devices' own LAN
    segment (discovery is a broadcast that no router passes on), and reports the result of every
    device.
  - The program does the whole update; this module only builds its command line and reads the JSON
    document (format 1) that it prints.
  - By default every device that was updated is written to a journal on the site host, and devices
    already updated with the same image (the same SHA-256) are skipped, so that running the same
    task again changes nothing and a run that was stopped is finished by running it again.
  - The task has changed when at least one device was updated (in check mode, would be updated). It
    fails when torvane-devices ends with a status other than 0, that is when a device failed or
    timed out, an id was not found or was answered by two devices, the canary or I(max_failed)
    skipped devices, no device at all was found, or the program was stopped; the devices are
    returned then too.
options:
  image:
    description:
      - The image file on the site host. Its first 131072 bytes are used.
      - Exactly one of I(image) and I(src) is needed.
    type: path
  src:
    description:
      - The image file on the controller (searched like the C(src) of M(ansible.builtin.copy)). It
        is copied into Ansible's temporary folder on the site host for this task and removed again.
    type: path
  all:
    description:
      - Update every device of the supported type that discovery finds. Devices of another type
        and devices that answer discovery but not identification are skipped, which is not a
        failure.
      - Excludes I(ids) and I(addresses); one of the three is needed.
    type: bool
    default: false
  ids:
    description:
      - Ids of the devices to update (six hex pairs, C(aa:bb:cc:dd:ee:ff)), found by discovery.
    type: list
    elements: str
  addresses:
    description:
      - IPv4 addresses (dotted quads) of the devices to update. May be given with I(ids).
    type: list
    elements: str
  parallel:
    description: Update up to this many devices at the same time, 1 to 64 (the program's default 1).
    type: int
  canary:
    description:
      - Update the first N devices alone first; the others start only if all N were updated, and
        are skipped otherwise.
    type: int
  max_failed:
    description: Start no new device once this many devices have failed or timed out.
    type: int
  retries:
    description: Run the update of a failed device again up to this many times, 0 to 100.
    type: int
  device_timeout:
    description: Abandon a device that has run this many seconds, all its attempts together.
    type: int
  setting:
    description: Text of 1 to 89 bytes written into each device before its update.
    type: str
  journal:
    description:
      - File on the site host that keeps one line per device that was started. Its folder is
        created when missing (not in check mode). An empty string keeps no journal.
    type: path
    default: /var/lib/torvane/journal.ndjson
  skip_updated:
    description:
      - Skip the devices that the journal shows updated with this image. Needs a journal.
    type: bool
    default: true
extends_documentation_fragment:
  - torvane.devices.torvane_devices
  - action_common_attributes
  - action_common_attributes.flow
attributes:
  action:
    support: full
    details: Copies I(src) to the site host.
  async:
    support: full
  bypass_host_loop:
    support: none
  check_mode:
    support: full
    details: Runs C(torvane-devices update --dry-run), which reads and hashes the image, finds and
      identifies the devices, checks their type and the setting, and sends nothing past
      identification. Nothing is written to the journal or its folder.
  diff_mode:
    support: none
  platform:
    platforms: posix
notes:
  - The site host needs the torvane-fwupdate package (which brings torvane-devices), Python 3 for
    Ansible, and UDP port 36 to and from the devices' segment.
  - Statuses of torvane-devices and what the task makes of them. C(0) every device updated or
    skipped for a reason that is not a failure (already updated, not supported); the task succeeds.
    C(1) not everything was done; the task fails, with every device in C(devices). C(2) the
    command line or the image was refused and nothing was sent; the task fails. C(130) or C(143)
    torvane-devices was stopped on the site host by SIGINT or SIGTERM (by an operator, or the site
    host shutting down); devices running then were finished (or, after a second signal,
    abandoned), the others skipped as interrupted; the task fails and running it again finishes
    the rest.
  - Interrupting the controller (Ctrl+C) or losing the SSH connection does not stop
    torvane-devices on the site host, the task's C(timeout) neither; it updates the devices it
    planned and writes them to the journal, so running the task again shows them updated and
    finishes the rest. Bound a run with I(device_timeout) instead. Under C(async), the time limit
    kills the program at once with SIGKILL, leaving a device in the middle of its update
    half-programmed and no document.
  - The manual page torvane-devices(1) on the site host describes every option, the JSON document
    and the statuses.
seealso:
  - module: torvane.devices.devices_facts
author:
  - Torvane developers
'''

EXAMPLES = r'''
- name: Update every device of the site, four at a time, with a journal for re-runs
  torvane.devices.update:
    src: files/firmware-2.4.bin
    all: true
    parallel: 4
    canary: 1
    max_failed: 3
    retries: 2
  register: torvane_update

- name: Update two devices by their labels' ids, with an image already on the site host
  torvane.devices.update:
    image: /srv/firmware/firmware-2.4.bin
    ids:
      - 00:1b:2c:3d:4e:5f
      - 00:1b:2c:3d:4e:60
    setting: SITE7

- name: See what would be updated, without writing to any device
  torvane.devices.update:
    src: files/firmware-2.4.bin
    all: true
  check_mode: true
'''

RETURN = r'''
devices:
  description:
    - One entry per device the run concerned, skipped ones included, in the order of the plan.
      Members as torvane-devices writes them; those listed here are the main ones.
  returned: when torvane-devices wrote its document
  type: list
  elements: dict
  contains:
    address:
      description: The device's IPv4 address, null for an id that nobody answered.
      type: str
    id:
      description: The device's id, C(aa:bb:cc:dd:ee:ff), null when it did not identify itself.
      type: str
    result:
      description: C(updated), C(failed), C(skipped), C(interrupted) or C(timed_out).
      type: str
    reason:
      description:
        - Null for an updated device. For a failed one C(socket_error), C(no_answer),
          C(wrong_type) or C(transfer_failed); for a skipped one C(already_updated),
          C(not_supported), C(no_answer) (under I(all)), C(dry_run) (would be updated),
          C(not_found), C(duplicate_id), C(canary_failed), C(max_failed) or C(interrupted); for an
          interrupted one C(interrupted); for one timed out C(device_timeout).
      type: str
    failed_step:
      description: Where it failed (C(identify), C(erase), C(program), ...), else null.
      type: str
    failed_step_text:
      description: The same with its block or probe number, as the progress lines show it.
      type: str
    attempts:
      description: How many times its update was started.
      type: int
    seconds:
      description: Time spent on it, all attempts together.
      type: float
  sample:
    - {address: 10.0.0.11, id: "00:1b:2c:3d:4e:5f", type: 1, result: updated, reason: null,
       failed_step: null, failed_step_text: null, attempts: 1, seconds: 1.234}
totals:
  description: How many devices were concerned, updated, failed, skipped, interrupted, timed out.
  returned: when torvane-devices wrote its document
  type: dict
  sample: {devices: 3, updated: 2, failed: 1, skipped: 0, interrupted: 0, timed_out: 0}
image:
  description: The image as torvane-devices read it, its size in bytes and its SHA-256.
  returned: when torvane-devices wrote its document
  type: dict
  sample: {path: /tmp/ansible-tmp-1/firmware.bin, size: 1000, sha256: 9f86d081884c7d65...}
dry_run:
  description: Whether the run was a dry run (check mode), which sends nothing past identification.
  returned: when torvane-devices wrote its document
  type: bool
stopped_by:
  description: C(SIGINT) or C(SIGTERM) when the program was stopped, else null.
  returned: when torvane-devices wrote its document
  type: str
notes:
  description:
    - What torvane-devices noted on the way (an address given twice, a discovery request that
      could not be sent, ...), also shown as the task's warnings.
  returned: when torvane-devices wrote its document
  type: list
  elements: str
rc:
  description: The exit status of torvane-devices.
  returned: always
  type: int
cmd:
  description: The command line that was run.
  returned: always
  type: list
  elements: str
stderr_lines:
  description: The progress lines and messages of torvane-devices.
  returned: always
  type: list
  elements: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.torvane.devices.plugins.module_utils.torvane_devices import (
    COMMON_OPTIONS, device_name, discovery_arguments, run_devices, status_text)

# Module options passed on as "--option=value" when given.
VALUE_OPTIONS = ('parallel', 'canary', 'max_failed', 'retries', 'device_timeout', 'setting')


def command_line(module, journal):
    """The options and operands of `torvane-devices update` for the task's parameters."""
    params = module.params
    options = ['--%s=%s' % (name.replace('_', '-'), params[name])
               for name in VALUE_OPTIONS if params[name] is not None]
    options += ['--id=%s' % device_id for device_id in params['ids'] or []]
    if params['all']:
        options.append('--all')
    if params['all'] or params['ids']:
        options += discovery_arguments(params)
    if journal:
        options.append('--journal=%s' % journal)
        if params['skip_updated']:
            options.append('--skip-updated')
    if module.check_mode:
        options.append('--dry-run')
    return options, [params['image']] + (params['addresses'] or [])


def journal_path(module):
    """The journal to pass, its folder made when missing; None for no journal. In check mode
    nothing is made, and a journal that does not exist yet has nothing to skip."""
    journal = module.params['journal']
    if not journal:
        return None
    if module.check_mode:
        return journal if os.path.exists(journal) else None
    folder = os.path.dirname(journal)
    if folder and not os.path.isdir(folder):
        try:
            os.makedirs(folder, 0o755)
        except OSError as error:
            module.fail_json(msg='cannot make the journal folder %s: %s' % (folder, error))
    return journal


# Reasons of a skipped device that make the run's status 1 (or 130/143): the device was meant to
# be updated and was not.
SKIPPED_UNDONE = ('not_found', 'duplicate_id', 'canary_failed', 'max_failed', 'interrupted')


def failure_message(status, document):
    """One line on what went wrong, naming the devices that were not done and why."""
    undone = []
    for device in document['devices']:
        if device.get('result') in ('failed', 'timed_out', 'interrupted'):
            step = device.get('failed_step_text') or device.get('failed_step')
            undone.append('%s %s (%s)%s' % (device_name(device), device['result'],
                                            device.get('reason'), ' at %s' % step if step else ''))
        elif device.get('reason') in SKIPPED_UNDONE:
            undone.append('%s skipped (%s)' % (device_name(device), device['reason']))
    if not document['devices']:
        undone.append('no device found')
    # Else its notes say why (no device of the supported type answered, ...).
    return 'torvane-devices ended with status %d, %s: %s' % (
        status, status_text(status), '; '.join(undone or document['notes']) or 'see stderr_lines')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            COMMON_OPTIONS,
            image=dict(type='path'),
            src=dict(type='path'),
            all=dict(type='bool', default=False),
            ids=dict(type='list', elements='str'),
            addresses=dict(type='list', elements='str'),
            parallel=dict(type='int'),
            canary=dict(type='int'),
            max_failed=dict(type='int'),
            retries=dict(type='int'),
            device_timeout=dict(type='int'),
            setting=dict(type='str'),
            journal=dict(type='path', default='/var/lib/torvane/journal.ndjson'),
            skip_updated=dict(type='bool', default=True),
        ),
        required_one_of=[('image', 'src')],
        mutually_exclusive=[('image', 'src')],
        supports_check_mode=True,
    )
    params = module.params
    if params['src']:
        module.fail_json(msg='src is copied by the action of torvane.devices.update: call the '
                         'module by that name, or give the image on the site host as image')
    if params['all'] == bool(params['ids'] or params['addresses']):
        module.fail_json(msg='name the devices with ids or addresses, or give all: true (not both)')

    options, operands = command_line(module, journal_path(module))
    status, document, result = run_devices(module, 'update', options, operands)
    devices = document['devices']
    if document['dry_run']:
        changed = any(device.get('reason') == 'dry_run' for device in devices)
    else:
        changed = any(device.get('result') == 'updated' for device in devices)
    result.update(changed=changed, devices=devices, totals=document['totals'],
                  image=document['image'], dry_run=document['dry_run'],
                  stopped_by=document['stopped_by'], notes=document['notes'])
    if status != 0:
        module.fail_json(msg=failure_message(status, document), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()

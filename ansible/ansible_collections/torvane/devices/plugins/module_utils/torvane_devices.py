# SPDX-License-Identifier: Apache-2.0
"""What the collection's modules share: running torvane-devices on the site host with an argument
list and reading the one JSON document (format 1) that it prints with --json."""
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

# Options of every module that runs the program.
COMMON_OPTIONS = dict(
    binary=dict(type='path'),
    broadcast=dict(type='str'),
    wait=dict(type='int'),
)

# What the statuses of torvane-devices mean; 130 and 143 still come with a whole document.
STATUS_TEXTS = {
    1: 'not everything asked for was done',
    2: 'the command line or the image was refused; nothing was sent',
    130: 'stopped by SIGINT: no device was started after it',
    143: 'stopped by SIGTERM: no device was started after it',
}


def discovery_arguments(params):
    """--broadcast and --wait as the module's parameters give them (None: the program's default)."""
    arguments = []
    if params['broadcast']:
        arguments.append('--broadcast=%s' % params['broadcast'])
    if params['wait'] is not None:
        arguments.append('--wait=%d' % params['wait'])
    return arguments


def run_devices(module, command_name, options, operands=()):
    """Runs `torvane-devices COMMAND_NAME` with `options` (each value joined to its option with
    '=', so that none is taken for an option), --json, and the `operands` after '--'. Returns
    (status, document, result): the parsed document (a dict) and what every module returns about
    the run; the document's notes become the task's warnings. Fails the task when no document of
    format 1 came, with the program's last words."""
    binary = module.params['binary'] or module.get_bin_path('torvane-devices', required=True)
    command = [binary, command_name] + options + ['--json']
    if operands:
        command += ['--'] + list(operands)
    status, out, err = module.run_command(command)
    result = dict(rc=status, cmd=command, stderr_lines=err.splitlines())
    try:
        document = json.loads(out)
    except ValueError:
        document = None
    if not isinstance(document, dict) or not isinstance(document.get('devices'), list):
        lines = err.strip().splitlines()
        messages = [line for line in lines if line.startswith('torvane-devices:')] or lines[-1:]
        module.fail_json(msg='torvane-devices ended with status %d without a result: %s' % (
            status, ' '.join(messages[-3:]) or 'nothing on standard error'), **result)
    # Format 1 only ever gains members: those this collection does not know are passed on as they
    # are. A later format may change what the known ones mean.
    if document.get('format') != 1:
        module.fail_json(msg='torvane-devices wrote a document of format %r; this collection reads '
                         'format 1 only: install torvane-devices and the collection of one release'
                         % document.get('format'), **result)
    for note in document.get('notes', []):
        module.warn('torvane-devices: %s' % note)
    return status, document, result


def device_name(device):
    """How a message names a device: its address, else its id."""
    return device.get('address') or device.get('id') or 'a device'


def status_text(status):
    return STATUS_TEXTS.get(status, 'unexpected status')

# SPDX-License-Identifier: Apache-2.0
"""The controller's side of torvane.devices.update: an image given as `src` is copied into the
task's temporary folder on the site host, the module runs with it as `image`, and the folder goes
again, so that even check mode needs no image left on the site host."""
from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible.errors import AnsibleAction, AnsibleActionFail, AnsibleError
from ansible.module_utils._text import to_text
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):

    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp  # unused since Ansible 2.5: the connection's shell keeps the temporary folder
        module_args = self._task.args.copy()
        source = module_args.pop('src', None)
        try:
            if source is not None:
                if module_args.get('image') is not None:
                    raise AnsibleActionFail('parameters are mutually exclusive: image|src')
                try:
                    source = self._loader.get_real_file(self._find_needle('files', source))
                except AnsibleError as error:
                    raise AnsibleActionFail(to_text(error))
                image = self._connection._shell.join_path(self._connection._shell.tmpdir,
                                                          'image.bin')
                self._transfer_file(source, image)
                self._fixup_perms2((self._connection._shell.tmpdir, image))
                module_args['image'] = image
            result.update(self._execute_module(module_name='torvane.devices.update',
                                               module_args=module_args, task_vars=task_vars))
        except AnsibleAction as error:
            result.update(error.result)
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        return result

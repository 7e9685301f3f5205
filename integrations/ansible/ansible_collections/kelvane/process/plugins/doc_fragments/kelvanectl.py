# -*- coding: utf-8 -*-
# What every module of the collection documents alike: the kelvanectl it
# runs on the managed host.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  executable:
    description:
      - Path of C(kelvanectl) on the managed host. By default it is looked up on the C(PATH) (the package
        installs C(/usr/bin/kelvanectl)).
    type: path
requirements:
  - kelvanectl (the kelvane package) on the managed host; root, to see and act on every account's processes.
attributes:
  platform:
    platforms: posix
    description: Managed hosts on which the kelvane library and kelvanectl are installed.
'''

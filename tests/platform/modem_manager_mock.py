'''A ModemManager of the test's own, for python3-dbusmock (-t this file).

The object manager at /org/freedesktop/ModemManager1 lists the modems that SetModems names, in
JSON: a list of [State, AccessTechnologies] pairs. A number is sent as the type ModemManager
uses (int32, uint32), any other value as a string, and null leaves the property out.
'''

import json

import dbus
from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.ModemManager1'
MAIN_OBJ = '/org/freedesktop/ModemManager1'
MAIN_IFACE = 'org.freedesktop.ModemManager1'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True
MODEM_IFACE = 'org.freedesktop.ModemManager1.Modem'


def load(mock, parameters):
    mock.modem_paths = []


def typed(value, number_type):
    return number_type(value) if isinstance(value, int) else dbus.String(str(value))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetModems(self, modems):
    for path in self.modem_paths:
        self.RemoveObject(path)
    self.modem_paths = []
    for i, (state, technologies) in enumerate(json.loads(modems)):
        properties = {}
        if state is not None:
            properties['State'] = typed(state, dbus.Int32)
        if technologies is not None:
            properties['AccessTechnologies'] = typed(technologies, dbus.UInt32)
        path = f'{MAIN_OBJ}/Modem/{i}'
        self.AddObject(path, MODEM_IFACE, properties, [])
        self.modem_paths.append(path)

'''A StatusNotifier watcher with a host registered, as a panel that shows
tray icons (KDE's, swaybar, GNOME's AppIndicator extension) offers it; a
python-dbusmock template. Items that register are kept and announced.'''

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        'IsStatusNotifierHostRegistered': True,
        'ProtocolVersion': 0,
        'RegisteredStatusNotifierItems': ['@as'],
    })
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierHost', 's', '', ''),
        ('RegisterStatusNotifierItem', 's', '',
         'self.EmitSignal("org.kde.StatusNotifierWatcher", "StatusNotifierItemRegistered", "s", [args[0]])'),
    ])

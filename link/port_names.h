#pragma once

#include <QString>
#include <QStringList>

// How the names COM1 to COM128 reach serial devices.
//
// On Windows COMn is the device \\.\COMn. Elsewhere a symbolic link named COMn in the link
// folder (Qt's generic data location followed by torvik-config/ports) wins, so that a user can
// give an adapter a stable name; otherwise a fixed table maps
//   COM1-COM32 to ttyS0-ttyS31,     COM33-COM64 to ttyUSB0-ttyUSB31,
//   COM65-COM96 to ttyACM0-ttyACM31, COM97-COM128 to ttyAMA0-ttyAMA31  (all under /dev).
namespace comlink {

inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 128;

// "COM" followed by n in decimal.
QString comName(int n);

// The port number of a name "COMn" with n from 1 to 128, or 0 for any other name.
int comNumber(const QString& name);

// The folder that holds the user's COMn links.
QString portLinkFolder();

// The path that opening the port named name opens (a link of the folder, or a device of the
// fixed table); empty for a name that is not COM1 to COM128.
QString devicePath(const QString& name);

// Whether a port as typed is a path (a device or a link to one), not a name COMn or a URL.
bool isDevicePath(const QString& port);
// A port as the program names it: a name COMn in upper case, a path or a URL as typed.
QString normalPortName(const QString& port);
// Whether an existing file is a device (a path or a link that leads to one, neither a regular
// file nor a folder), or a name in the ports folder.
bool isDeviceFile(const QString& path);

// The path that a port given as a name COMn, a device path or a network URL opens: a path or a
// URL (rfc2217://, socket://) as typed, a name through devicePath(); empty for anything else.
QString portPath(const QString& port);

// The device that path reaches once links are followed (the path itself if it is no link).
QString realDevicePath(const QString& path);

// The names COM1 to COM128 whose device exists now, in order; nothing is opened, so no reader
// sees a byte and no lock is taken.
QStringList namesWithDevice();

// The network ports (rfc2217://, socket://) the window lists after the COM names, kept one a
// line in a file beside the link folder, in the order they were added.
QString networkPortsFile();
QStringList keptNetworkPorts();
bool keepNetworkPorts(const QStringList& urls, QString* error);

// The folder that holds the devices of the fixed table; "/dev" unless a test chose another.
QString deviceRoot();
void setDeviceRoot(const QString& root);

}  // namespace comlink

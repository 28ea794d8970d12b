// The package as a user gets it, and the life of a process that uses it.
using System;
using System.IO;
using System.IO.Compression;
using System.Linq;
using System.Net;
using System.Threading;

namespace Quorvel.Tests
{
    internal static class PackageTests
    {
        // The machine a PE file is built for (0x14C x86, 0x8664 x64).
        private static int Machine(ZipArchiveEntry entry)
        {
            using (var s = new MemoryStream())
            {
                using (Stream e = entry.Open()) e.CopyTo(s);
                byte[] b = s.ToArray();
                int pe = BitConverter.ToInt32(b, 0x3C);
                Check.True(b[pe] == 'P' && b[pe + 1] == 'E', entry.FullName + " is a PE file");
                return BitConverter.ToUInt16(b, pe + 4);
            }
        }

        [Scenario("layout")]
        private static void ThePackageHoldsTheLibraryItsDocsBothDllsAndTheFrameworkTargets()
        {
            string path = Environment.GetEnvironmentVariable("QV_NUPKG");
            Check.True(path != null && File.Exists(path), "QV_NUPKG names the package");
            Check.True(Path.GetFileName(path).StartsWith("Quorvel.Net.") && path.EndsWith(".nupkg"), "<id>.<version>.nupkg");
            using (ZipArchive zip = ZipFile.OpenRead(path))
            {
                var names = zip.Entries.Select(e => e.FullName).ToList();
                foreach (string needed in new[] { "lib/netstandard2.0/Quorvel.Net.dll", "lib/netstandard2.0/Quorvel.Net.xml",
                                                  "runtimes/win-x86/native/quorvel.dll", "runtimes/win-x64/native/quorvel.dll",
                                                  "README.md", "LICENSE", "build/Quorvel.Net.targets", "buildTransitive/Quorvel.Net.targets" })
                    Check.True(names.Contains(needed), "the package holds " + needed);
                Check.Equal(0x14C, Machine(zip.GetEntry("runtimes/win-x86/native/quorvel.dll")), "the x86 DLL is 32-bit");
                Check.Equal(0x8664, Machine(zip.GetEntry("runtimes/win-x64/native/quorvel.dll")), "the x64 DLL is 64-bit");
                Check.True(!names.Any(n => n.StartsWith("lib/") && Path.GetFileName(n).Equals("quorvel.dll", StringComparison.OrdinalIgnoreCase)),
                           "no managed file that DllImport(\"quorvel\") would find");
                string docs = new StreamReader(zip.GetEntry("lib/netstandard2.0/Quorvel.Net.xml").Open()).ReadToEnd();
                Check.True(docs.Contains("M:Quorvel.SerialPort.ReadAsync"), "the XML docs describe the members");
                string nuspec = new StreamReader(zip.Entries.Single(e => e.FullName.EndsWith(".nuspec")).Open()).ReadToEnd();
                Check.True(nuspec.Contains("<license type=\"expression\">MIT</license>"), "the licence");
                string targets = new StreamReader(zip.GetEntry("build/Quorvel.Net.targets").Open()).ReadToEnd();
                Check.True(targets.Contains("x86\\quorvel.dll") && targets.Contains("x64\\quorvel.dll") && targets.Contains(".NETFramework"),
                           "the targets copy both DLLs for .NET Framework programs");
            }
        }

        [Scenario("loader")]
        private static void AProgramWithoutRuntimeAssetsLoadsTheDllOfItsArchitectureFromBesideIt()
        {
            string arch = IntPtr.Size == 8 ? "x64" : "x86";
            string dir = AppContext.BaseDirectory;
            Check.True(File.Exists(Path.Combine(dir, "x86", "quorvel.dll")) && File.Exists(Path.Combine(dir, "x64", "quorvel.dll")),
                       "the build put both DLLs beside the program");
            Check.True(QuorvelLibrary.Version.Major >= 0, "a first call works");
            string loaded = QuorvelLibrary.LoadedFrom;
            Check.True(loaded != null && loaded.EndsWith("\\" + arch + "\\quorvel.dll", StringComparison.OrdinalIgnoreCase),
                       "loaded from " + arch + ": " + loaded);
        }

        // Open endpoints with their events asked for, and reads blocked on
        // threads of the program's: the process still ends when Main returns.
        [Scenario("exit")]
        private static void EndpointsLeftOpenDoNotKeepTheProcessAlive()
        {
            string info = Environment.GetEnvironmentVariable("QV_PEER_INFO");
            int port = int.Parse(File.ReadAllLines(info).First(l => l.StartsWith("tcp ")).Split(' ')[1]);
            TcpConnection c = TcpConnection.Connect("127.0.0.1", port);
            c.DataReceived += (s, e) => { };
            c.ReceiveAsync(new byte[4], 0, 4);
            TcpServer server = TcpServer.Listen("127.0.0.1", 0);
            server.ConnectionWaiting += (s, e) => { };
            UdpSocket udp = UdpSocket.Open();
            udp.DataReceived += (s, e) => { };
            new Thread(() => { try { udp.Receive(); } catch (Exception) { } }) { IsBackground = true }.Start();
            var watcher = new PortWatcher();
            watcher.Start();
            string pty = Environment.GetEnvironmentVariable("QV_PTY_PORT");
            if (pty != null)
            {
                var serial = new SerialPort(pty);
                serial.DataReceived += (s, e) => { };
                serial.Open();
                new Thread(() => { try { serial.ReadByte(); } catch (Exception) { } }) { IsBackground = true }.Start();
            }
            GC.KeepAlive(c);
        }
    }
}

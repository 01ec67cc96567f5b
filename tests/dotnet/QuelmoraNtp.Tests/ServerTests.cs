using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Reflection;
using System.Reflection.PortableExecutable;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using System.Threading.Tasks;
using Quelmora.Ntp;
using Xunit;

namespace Quelmora.Ntp.Tests;

// The server is the process's one: these tests never run side by side.
[CollectionDefinition("one server per process", DisableParallelization = true)]
public sealed class OneServerPerProcess { }

internal static class Ports
{
    public static int Free()
    {
        using var probe = new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp);
        probe.Bind(new IPEndPoint(IPAddress.Loopback, 0));
        return ((IPEndPoint)probe.LocalEndPoint!).Port;
    }
}

[Collection("one server per process")]
public sealed class ServerTests
{
    [Fact]
    public void StartStopDisposeAndWrongState()
    {
        int port = Ports.Free();
        var server = NtpServer.Start(port);
        Assert.True(NtpServer.IsRunning);
        Assert.Equal(port, server.Port);
        Assert.Throws<InvalidOperationException>(() => NtpServer.Start(Ports.Free()));
        server.Stop();
        Assert.False(NtpServer.IsRunning);
        Assert.Throws<InvalidOperationException>(() => server.Stop());
        server.Dispose();  // after Stop: harmless

        var next = NtpServer.Start(port);  // the port is free again at once
        server.Dispose();  // the old object leaves the new server alone
        Assert.True(NtpServer.IsRunning);
        next.Dispose();
        next.Dispose();
        Assert.False(NtpServer.IsRunning);
    }

    [Fact]
    public void QueryOfItsOwnServerIsDecodedAndCounted()
    {
        int port = Ports.Free();
        using var server = NtpServer.Start(port);
        DateTime before = DateTime.UtcNow;
        NtpResponse reply = NtpClient.Query("127.0.0.1", port);
        Assert.Equal(4, reply.Mode);
        Assert.Equal(4, reply.Version);
        Assert.Equal(2, reply.Stratum);
        Assert.Equal("80.73.67.66", reply.ReferenceIdText);  // "PICB", at stratum 2 an address
        Assert.Equal(0x50494342U, reply.ReferenceId);
        Assert.Equal(-20, reply.Precision);
        Assert.InRange(reply.Offset.Duration(), TimeSpan.Zero, TimeSpan.FromMilliseconds(50));
        Assert.InRange(reply.RoundTripTime, TimeSpan.Zero, TimeSpan.FromSeconds(1));
        Assert.InRange(reply.TransmitTime, before.AddSeconds(-1), DateTime.UtcNow.AddSeconds(1));
        Assert.Equal(DateTimeKind.Utc, reply.TransmitTime.Kind);
        Assert.Equal(48, reply.Raw.Length);

        NtpServerStatistics statistics = server.Statistics;
        Assert.True(statistics.Running);
        Assert.Equal(port, statistics.Port);
        Assert.Equal(1U, statistics.Requests);
        Assert.Equal(1U, statistics.Replies);
        server.Stop();
        Assert.False(server.Statistics.Running);
        Assert.Equal(1U, server.Statistics.Replies);
    }

    [Fact]
    public async Task ArgumentsAndFailuresMapToTheirTypes()
    {
        Assert.Equal("port", Assert.Throws<ArgumentOutOfRangeException>(() => NtpServer.Start(70000)).ParamName);
        Assert.Throws<ArgumentOutOfRangeException>(() => NtpServer.Start(-1));
        Assert.Throws<ArgumentOutOfRangeException>(() => NtpClient.Query("127.0.0.1", 0));
        Assert.Throws<ArgumentOutOfRangeException>(() => NtpClient.Query("127.0.0.1", 65536));
        Assert.Throws<ArgumentNullException>(() => NtpClient.Query(null!));
        Assert.Throws<ArgumentException>(() => NtpClient.Query(""));
        Assert.Throws<ArgumentException>(() => NtpClient.Query("127.0.0.1\0.invalid"));
        // The async form throws at once too, not through its task.
        Assert.Throws<ArgumentOutOfRangeException>(() => { _ = NtpClient.QueryAsync("127.0.0.1", 0); });
        Assert.Throws<ArgumentNullException>(() => { _ = NtpClient.QueryAsync(null!); });
        Assert.Throws<ArgumentException>(() => { _ = NtpClient.QueryAsync("", 123, new CancellationToken(true)); });
        Assert.False(NtpServer.IsRunning);
        Assert.NotEqual("bad port", NtpLibrary.LastError);

        using (var holder = new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp))
        {
            holder.Bind(new IPEndPoint(IPAddress.Any, 0));
            var taken = Assert.Throws<NtpException>(() => NtpServer.Start(((IPEndPoint)holder.LocalEndPoint!).Port));
            Assert.Equal((NtpErrorCode.BindFailed, "bind failed (port in use?)"), (taken.ErrorCode, taken.Message));
        }
        var unresolved = await Assert.ThrowsAsync<NtpException>(() => NtpClient.QueryAsync("no-such-host..invalid"));
        Assert.Equal((NtpErrorCode.HostResolveFailed, "host resolve failed"), (unresolved.ErrorCode, unresolved.Message));
        // Nothing listens there: the refusal, or the 5 s bound, ends the wait.
        var silent = Assert.Throws<NtpException>(() => NtpClient.Query("127.0.0.1", Ports.Free()));
        Assert.Equal((NtpErrorCode.NoReply, "no reply within 5s (timeout or short packet)"), (silent.ErrorCode, silent.Message));
        Assert.Equal("no reply within 5s (timeout or short packet)", NtpLibrary.LastError);
        Assert.Equal(Environment.GetEnvironmentVariable("QUELMORA_NTP_VERSION") ?? "1.0.0", NtpLibrary.Version);
    }

    [Fact]
    public async Task ConcurrentFailuresNeverShowTheOtherCallsReason()
    {
        using var holder = new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp);
        holder.Bind(new IPEndPoint(IPAddress.Any, 0));
        int held = ((IPEndPoint)holder.LocalEndPoint!).Port, closed = Ports.Free();
        HashSet<NtpErrorCode> FailFor(Action call)
        {
            var seen = new HashSet<NtpErrorCode>();
            for (var clock = Stopwatch.StartNew(); clock.Elapsed < TimeSpan.FromSeconds(3);)
            {
                try { call(); }
                catch (NtpException failure) { seen.Add(failure.ErrorCode); }
            }
            return seen;
        }
        var both = await Task.WhenAll(
            Task.Factory.StartNew(() => FailFor(() => NtpServer.Start(held)), TaskCreationOptions.LongRunning),
            Task.Factory.StartNew(() => FailFor(() => NtpClient.Query("127.0.0.1", closed)), TaskCreationOptions.LongRunning));
        Assert.Subset(new HashSet<NtpErrorCode> { NtpErrorCode.BindFailed, NtpErrorCode.Unknown }, both[0]);
        Assert.Subset(new HashSet<NtpErrorCode> { NtpErrorCode.NoReply, NtpErrorCode.Unknown }, both[1]);
        Assert.Contains(NtpErrorCode.BindFailed, both[0]);
        Assert.Contains(NtpErrorCode.NoReply, both[1]);
    }

    [Fact]
    public void StatisticsFromEightThreadsAlwaysParse()
    {
        using var server = NtpServer.Start(Ports.Free());
        var failures = new List<Exception>();
        var readers = Enumerable.Range(0, 8).Select(_ => new Thread(() =>
        {
            try
            {
                for (int i = 0; i < 10000; i++)
                {
                    if (!server.Statistics.Running) throw new InvalidOperationException("the report says not running");
                }
            }
            catch (Exception failure) when (failure is FormatException || failure is OverflowException ||
                                            failure is InvalidOperationException)
            {
                lock (failures) failures.Add(failure);
            }
        })).ToArray();
        foreach (Thread reader in readers) reader.Start();
        foreach (Thread reader in readers) reader.Join();
        Assert.Empty(failures);
    }

    [Fact]
    public void TheAssemblyIsStrongNamedWithItsSymbolsInside()
    {
        Assembly assembly = typeof(NtpClient).Assembly;
        Assert.Equal("02c56d6781d95ae2", Convert.ToHexString(assembly.GetName().GetPublicKeyToken()!).ToLowerInvariant());
        using var image = new PEReader(File.OpenRead(assembly.Location));
        Assert.Contains(image.ReadDebugDirectory(), entry => entry.Type == DebugDirectoryEntryType.EmbeddedPortablePdb);
    }
}

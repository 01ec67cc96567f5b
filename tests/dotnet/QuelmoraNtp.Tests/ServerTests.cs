using System;
using System.Net;
using System.Net.Sockets;
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
        Assert.Equal("PICB", reply.ReferenceIdText);
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
    public void FailuresCarryTheLibrarysText()
    {
        var bad = Assert.Throws<NtpException>(() => NtpServer.Start(70000));
        Assert.Equal("bad port", bad.Message);
        using (var holder = new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp))
        {
            holder.Bind(new IPEndPoint(IPAddress.Any, 0));
            var taken = Assert.Throws<NtpException>(() => NtpServer.Start(((IPEndPoint)holder.LocalEndPoint!).Port));
            Assert.Equal("bind failed (port in use?)", taken.Message);
        }
        Assert.Equal("bad port", Assert.Throws<NtpException>(() => NtpClient.Query("127.0.0.1", 0)).Message);
        Assert.Equal("host resolve failed",
                     Assert.Throws<NtpException>(() => NtpClient.Query("no-such-host..invalid")).Message);
        // Nothing listens there: the refusal, or the 5 s bound, ends the wait.
        Assert.Equal("no reply within 5s (timeout or short packet)",
                     Assert.Throws<NtpException>(() => NtpClient.Query("127.0.0.1", Ports.Free())).Message);
        Assert.Equal("no reply within 5s (timeout or short packet)", NtpLibrary.LastError);
        Assert.Equal(Environment.GetEnvironmentVariable("QUELMORA_NTP_VERSION") ?? "1.0.0", NtpLibrary.Version);
    }
}

using System;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using System.Threading.Tasks;
using Quelmora.Ntp;
using Xunit;

namespace Quelmora.Ntp.Tests;

[Collection("one server per process")]
public sealed class ClientTests
{
    // A reply stamped in 2040, after the NTP seconds wrapped in February 2036:
    // reference 2040-01-01T00:00:00Z, originate/receive/transmit 2040-01-01T00:00:01.25/.5/.75Z.
    private static readonly DateTime Arrived = new DateTime(2040, 1, 1, 0, 0, 2, DateTimeKind.Utc);

    private static byte[] ReplyIn2040()
    {
        const long seconds2040 = 2208988800L + 2208988800L - (1L << 32);  // NTP era 1
        var packet = new byte[48];
        packet[0] = 0x1C;  // leap 0, version 3, mode 4
        packet[1] = 1;
        packet[2] = 10;
        packet[3] = 0xE9;  // -23
        packet[4] = 0xFF; packet[5] = 0xFF; packet[6] = 0x80; packet[7] = 0x00;  // root delay -0.5 s
        packet[9] = 0x01; packet[10] = 0x40;  // root dispersion 1.25 s
        packet[12] = (byte)'G'; packet[13] = (byte)'P'; packet[14] = (byte)'S';
        void Put(int offset, long secs, uint fraction)
        {
            for (int i = 0; i < 4; i++) packet[offset + i] = (byte)(secs >> (24 - 8 * i));
            for (int i = 0; i < 4; i++) packet[offset + 4 + i] = (byte)(fraction >> (24 - 8 * i));
        }
        Put(16, seconds2040, 0);
        Put(24, seconds2040 + 1, 0x40000000);
        Put(32, seconds2040 + 1, 0x80000000);
        Put(40, seconds2040 + 1, 0xC0000000);
        return packet;
    }

    [Fact]
    public void ParseDecodesAReplyAfterThe2036Wrap()
    {
        NtpResponse reply = NtpResponse.Parse(ReplyIn2040(), Arrived);
        Assert.Equal((0, 3, 4, 1, 10, -23), (reply.LeapIndicator, reply.Version, reply.Mode, reply.Stratum,
                                              reply.Poll, reply.Precision));
        Assert.Equal(TimeSpan.FromSeconds(-0.5), reply.RootDelay);
        Assert.Equal(TimeSpan.FromSeconds(1.25), reply.RootDispersion);
        Assert.Equal("GPS", reply.ReferenceIdText);
        Assert.Equal(new DateTime(2040, 1, 1, 0, 0, 0, DateTimeKind.Utc), reply.ReferenceTime);
        Assert.Equal(new DateTime(2040, 1, 1, 0, 0, 1, 250, DateTimeKind.Utc), reply.OriginateTime);
        Assert.Equal(new DateTime(2040, 1, 1, 0, 0, 1, 500, DateTimeKind.Utc), reply.ReceiveTime);
        Assert.Equal(new DateTime(2040, 1, 1, 0, 0, 1, 750, DateTimeKind.Utc), reply.TransmitTime);
        // Sent at 1.25, served from 1.5 to 1.75, back at 2.0: no offset, 0.5 s on the wire.
        Assert.Equal(TimeSpan.Zero, reply.Offset);
        Assert.Equal(TimeSpan.FromSeconds(0.5), reply.RoundTripTime);

        byte[] raw = reply.Raw;
        raw[1] = 99;
        Assert.Equal(1, reply.Raw[1]);  // a copy each time
        Assert.Equal(2208988800L, (long)(NtpResponse.Parse(ReplyIn2040(), new DateTime(2036, 3, 1)).ReferenceTime -
                                         DateTime.UnixEpoch).TotalSeconds);
        Assert.Throws<ArgumentException>(() => NtpResponse.Parse(new byte[47], Arrived));
    }

    [Fact]
    public async Task QueryAsyncAnswersAndCancelsAtOnce()
    {
        int port = Ports.Free();
        using (NtpServer.Start(port))
        {
            NtpResponse reply = await NtpClient.QueryAsync("127.0.0.1", port);
            Assert.Equal(2, reply.Stratum);
        }
        // A server that never answers: cancelling must not wait out the 5 s bound.
        using var silent = new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp);
        silent.Bind(new IPEndPoint(IPAddress.Loopback, 0));
        using var cancel = new CancellationTokenSource(TimeSpan.FromMilliseconds(200));
        var started = DateTime.UtcNow;
        Task<NtpResponse> query = NtpClient.QueryAsync("127.0.0.1", ((IPEndPoint)silent.LocalEndPoint!).Port, cancel.Token);
        await Assert.ThrowsAnyAsync<OperationCanceledException>(() => query);
        Assert.True(query.IsCanceled);
        Assert.InRange(DateTime.UtcNow - started, TimeSpan.Zero, TimeSpan.FromSeconds(3));
        Assert.True(NtpClient.QueryAsync("127.0.0.1", port, new CancellationToken(true)).IsCanceled);
    }
}

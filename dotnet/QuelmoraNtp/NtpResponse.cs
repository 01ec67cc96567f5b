using System;
using System.Globalization;

namespace Quelmora.Ntp
{
    /// <summary>
    /// An SNTP reply (RFC 5905), decoded: the header fields, the four timestamps in UTC, and the
    /// clock offset and round trip by the on-wire calculation.
    /// </summary>
    public sealed class NtpResponse
    {
        private const long TicksPerSecond = TimeSpan.TicksPerSecond;
        private const long SecondsPerEra = 1L << 32;
        private const double ShortFormatScale = 65536.0; // 2^16: root delay and dispersion
        private static readonly DateTime NtpEpoch = new DateTime(1900, 1, 1, 0, 0, 0, DateTimeKind.Utc);

        private readonly byte[] raw;

        private NtpResponse(byte[] packet, DateTime receivedUtc)
        {
            raw = new byte[NativeMethods.PacketSize];
            Array.Copy(packet, raw, raw.Length);
            LeapIndicator = raw[0] >> 6;
            Version = (raw[0] >> 3) & 0x07;
            Mode = raw[0] & 0x07;
            Stratum = raw[1];
            Poll = unchecked((sbyte)raw[2]);
            Precision = unchecked((sbyte)raw[3]);
            RootDelay = Seconds(unchecked((int)BigEndian32(4)) / ShortFormatScale);
            RootDispersion = Seconds(BigEndian32(8) / ShortFormatScale);
            ReferenceId = BigEndian32(12);
            ReferenceIdText = ReferenceText(raw, 12);
            ReferenceTime = TimeAt(16, receivedUtc);
            OriginateTime = TimeAt(24, receivedUtc);
            ReceiveTime = TimeAt(32, receivedUtc);
            TransmitTime = TimeAt(40, receivedUtc);
            // RFC 5905: t1 our send (echoed as originate), t2 and t3 the server's, t4 our receive.
            long t1 = OriginateTime.Ticks, t2 = ReceiveTime.Ticks, t3 = TransmitTime.Ticks, t4 = receivedUtc.Ticks;
            Offset = TimeSpan.FromTicks(((t2 - t1) + (t3 - t4)) / 2);
            RoundTripTime = TimeSpan.FromTicks((t4 - t1) - (t3 - t2));
        }

        /// <summary>A copy of the 48 bytes of the reply.</summary>
        public byte[] Raw => (byte[])raw.Clone();

        /// <summary>Leap indicator: 0 none, 1 last minute has 61 s, 2 has 59 s, 3 unsynchronised.</summary>
        public int LeapIndicator { get; }

        /// <summary>NTP version of the reply.</summary>
        public int Version { get; }

        /// <summary>Association mode: 4 for a server's reply.</summary>
        public int Mode { get; }

        /// <summary>Stratum: 1 primary, 2 to 15 secondary, 0 a kiss-o'-death.</summary>
        public int Stratum { get; }

        /// <summary>Poll interval, log2 seconds.</summary>
        public int Poll { get; }

        /// <summary>Precision of the server's clock, log2 seconds.</summary>
        public int Precision { get; }

        /// <summary>Round trip to the server's reference clock.</summary>
        public TimeSpan RootDelay { get; }

        /// <summary>The server's estimate of its error against its reference clock.</summary>
        public TimeSpan RootDispersion { get; }

        /// <summary>The reference identifier, big-endian.</summary>
        public uint ReferenceId { get; }

        /// <summary>
        /// The reference identifier as text: its printable ASCII characters (such as "GPS" or this
        /// library's "PICB"), otherwise the dotted IPv4 address it holds.
        /// </summary>
        public string ReferenceIdText { get; }

        /// <summary>When the server's clock was last set or corrected (UTC).</summary>
        public DateTime ReferenceTime { get; }

        /// <summary>When the request left, as the server echoed it (UTC).</summary>
        public DateTime OriginateTime { get; }

        /// <summary>When the request reached the server (UTC).</summary>
        public DateTime ReceiveTime { get; }

        /// <summary>When the reply left the server (UTC).</summary>
        public DateTime TransmitTime { get; }

        /// <summary>The server's clock minus this machine's.</summary>
        public TimeSpan Offset { get; }

        /// <summary>The round trip, less the time the server held the request.</summary>
        public TimeSpan RoundTripTime { get; }

        /// <summary>
        /// Decodes a reply. Timestamps are placed in the 136-year NTP era nearest to
        /// <paramref name="receivedUtc"/>, so that times from 2036 on decode right.
        /// </summary>
        /// <param name="packet">At least 48 bytes; the first 48 are the reply.</param>
        /// <param name="receivedUtc">When the reply arrived, by this machine's clock.</param>
        /// <returns>The decoded reply.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="packet"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="packet"/> is shorter than 48 bytes.</exception>
        public static NtpResponse Parse(byte[] packet, DateTime receivedUtc)
        {
            if (packet == null) throw new ArgumentNullException(nameof(packet));
            if (packet.Length < NativeMethods.PacketSize)
                throw new ArgumentException("an NTP reply has 48 bytes", nameof(packet));
            DateTime received = receivedUtc.Kind == DateTimeKind.Local
                ? receivedUtc.ToUniversalTime()
                : DateTime.SpecifyKind(receivedUtc, DateTimeKind.Utc);
            return new NtpResponse(packet, received);
        }

        private uint BigEndian32(int offset) =>
            (uint)raw[offset] << 24 | (uint)raw[offset + 1] << 16 | (uint)raw[offset + 2] << 8 | raw[offset + 3];

        private static TimeSpan Seconds(double seconds) => TimeSpan.FromTicks((long)Math.Round(seconds * TicksPerSecond));

        // The era that puts the time within half an era (68 years) of the local clock.
        private DateTime TimeAt(int offset, DateTime near)
        {
            long seconds = BigEndian32(offset);
            long fractionTicks = (long)(((ulong)BigEndian32(offset + 4) * TicksPerSecond) >> 32);
            long nearSeconds = (near - NtpEpoch).Ticks / TicksPerSecond;
            long era = FloorDivide(nearSeconds - seconds + SecondsPerEra / 2, SecondsPerEra);
            long ticks = (era * SecondsPerEra + seconds) * TicksPerSecond + fractionTicks;
            long earliest = (DateTime.MinValue - NtpEpoch).Ticks, latest = (DateTime.MaxValue - NtpEpoch).Ticks;
            return NtpEpoch.AddTicks(Math.Min(Math.Max(ticks, earliest), latest));
        }

        private static long FloorDivide(long value, long divisor) =>
            value / divisor - (value % divisor != 0 && (value < 0) != (divisor < 0) ? 1 : 0);

        private static string ReferenceText(byte[] packet, int offset)
        {
            int length = 4;
            while (length > 0 && packet[offset + length - 1] == 0) length--;
            bool printable = length > 0;
            for (int i = 0; i < length; i++) printable &= packet[offset + i] >= 0x20 && packet[offset + i] <= 0x7E;
            if (printable)
            {
                var text = new char[length];
                for (int i = 0; i < length; i++) text[i] = (char)packet[offset + i];
                return new string(text);
            }
            return string.Format(CultureInfo.InvariantCulture, "{0}.{1}.{2}.{3}",
                                 packet[offset], packet[offset + 1], packet[offset + 2], packet[offset + 3]);
        }
    }
}

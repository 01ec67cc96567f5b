using System;
using System.Globalization;

namespace Quelmora.Ntp
{
    /// <summary>
    /// A server's SNTP reply (RFC 5905), decoded and checked: the header fields, the four
    /// timestamps in UTC, and the clock offset and round trip by the on-wire calculation.
    /// </summary>
    public sealed class NtpResponse
    {
        private const long TicksPerSecond = TimeSpan.TicksPerSecond;
        private const long SecondsPerEra = 1L << 32;
        private const ulong HalfFractionUnit = 1UL << 31; // half of 2^32, the fraction's second
        private const double ShortFormatScale = 65536.0; // 2^16: root delay and dispersion
        private const int ServerMode = 4;
        private const int BroadcastMode = 5;
        private const int KissStratum = 0;
        private const int PrimaryStratum = 1;
        private const int ReferenceIdOffset = 12;
        private const int ReferenceTimeOffset = 16;
        private const int OriginateTimeOffset = 24;
        private const int ReceiveTimeOffset = 32;
        private const int TransmitTimeOffset = 40;
        private static readonly DateTime NtpEpoch = new DateTime(1900, 1, 1, 0, 0, 0, DateTimeKind.Utc);

        private readonly byte[] raw;

        private NtpResponse(byte[] packet, DateTime receivedUtc, DateTime originate, DateTime receive,
                            DateTime transmit)
        {
            raw = packet;
            LeapIndicator = raw[0] >> 6;
            Version = (raw[0] >> 3) & 0x07;
            Mode = raw[0] & 0x07;
            Stratum = raw[1];
            Poll = unchecked((sbyte)raw[2]);
            Precision = unchecked((sbyte)raw[3]);
            RootDelay = Seconds(unchecked((int)BigEndian32(4)) / ShortFormatScale);
            RootDispersion = Seconds(BigEndian32(8) / ShortFormatScale);
            ReferenceId = BigEndian32(ReferenceIdOffset);
            ReferenceIdText = ReferenceText(raw, Stratum);
            ReferenceTime = TimeAt(raw, ReferenceTimeOffset, receivedUtc);
            OriginateTime = originate;
            ReceiveTime = receive;
            TransmitTime = transmit;
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

        /// <summary>Association mode: 4 for a server's reply, 5 for a broadcast.</summary>
        public int Mode { get; }

        /// <summary>
        /// Stratum: 1 primary, 2 to 15 secondary, 16 unsynchronised (a kiss-o'-death, 0, is thrown as
        /// <see cref="NtpKissOfDeathException"/>).
        /// </summary>
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
        /// The reference identifier as its stratum means it: at stratum 1 the reference clock's
        /// name, such as "GPS" (trailing NULs dropped, "?" for a byte outside printable ASCII);
        /// from stratum 2 on the IPv4 address of the server's own server, such as "192.0.2.7".
        /// </summary>
        public string ReferenceIdText { get; }

        /// <summary>When the server's clock was last set or corrected (UTC); null where the server sent zero.</summary>
        public DateTime? ReferenceTime { get; }

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
        /// Decodes a reply and checks that it is a server's answer with a time in it. Timestamps
        /// are placed in the 136-year NTP era nearest to <paramref name="receivedUtc"/>, so that
        /// times from 2036 on decode right.
        /// </summary>
        /// <param name="packet">At least 48 bytes; the first 48 are the reply.</param>
        /// <param name="receivedUtc">When the reply arrived, by this machine's clock.</param>
        /// <returns>The decoded reply.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="packet"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="packet"/> is shorter than 48 bytes.</exception>
        /// <exception cref="NtpKissOfDeathException">The server refused service (stratum 0).</exception>
        /// <exception cref="NtpInvalidReplyException">
        /// The mode is not 4 or 5, or the transmit, originate or receive timestamp is zero.
        /// </exception>
        public static NtpResponse Parse(byte[] packet, DateTime receivedUtc)
        {
            if (packet == null) throw new ArgumentNullException(nameof(packet));
            if (packet.Length < NativeMethods.PacketSize)
                throw new ArgumentException("an NTP reply has 48 bytes", nameof(packet));
            var raw = new byte[NativeMethods.PacketSize];
            Array.Copy(packet, raw, raw.Length);
            DateTime received = receivedUtc.Kind == DateTimeKind.Local
                ? receivedUtc.ToUniversalTime()
                : DateTime.SpecifyKind(receivedUtc, DateTimeKind.Utc);

            int mode = raw[0] & 0x07;
            if (mode != ServerMode && mode != BroadcastMode)
                throw Invalid("not a server reply (mode " + mode.ToString(CultureInfo.InvariantCulture) + ")", raw);
            if (raw[1] == KissStratum) throw new NtpKissOfDeathException(ReferenceText(raw, KissStratum), raw);
            DateTime transmit = TimeAt(raw, TransmitTimeOffset, received) ?? throw Invalid("zero transmit timestamp", raw);
            DateTime originate = TimeAt(raw, OriginateTimeOffset, received) ?? throw Invalid("zero originate timestamp", raw);
            DateTime receive = TimeAt(raw, ReceiveTimeOffset, received) ?? throw Invalid("zero receive timestamp", raw);
            return new NtpResponse(raw, received, originate, receive, transmit);
        }

        private static NtpInvalidReplyException Invalid(string reason, byte[] raw) =>
            new NtpInvalidReplyException(NtpErrorCode.InvalidReply, reason, raw);

        private uint BigEndian32(int offset) => BigEndian32(raw, offset);

        private static uint BigEndian32(byte[] packet, int offset) =>
            (uint)packet[offset] << 24 | (uint)packet[offset + 1] << 16 | (uint)packet[offset + 2] << 8 | packet[offset + 3];

        private static TimeSpan Seconds(double seconds) => TimeSpan.FromTicks((long)Math.Round(seconds * TicksPerSecond));

        // The era that puts the time within half an era (68 years) of the local clock; a zero
        // timestamp is "not known", not 2036-02-07T06:28:16Z.
        private static DateTime? TimeAt(byte[] packet, int offset, DateTime near)
        {
            long seconds = BigEndian32(packet, offset);
            uint fraction = BigEndian32(packet, offset + 4);
            if (seconds == 0 && fraction == 0) return null;
            // The nearest tick, not the one below: cut, every time would be up to 100 ns early.
            // A fraction just short of a second rounds to a whole one, carried into the seconds.
            long fractionTicks = (long)(((ulong)fraction * TicksPerSecond + HalfFractionUnit) >> 32);
            long nearSeconds = (near - NtpEpoch).Ticks / TicksPerSecond;
            long era = FloorDivide(nearSeconds - seconds + SecondsPerEra / 2, SecondsPerEra);
            long ticks = (era * SecondsPerEra + seconds) * TicksPerSecond + fractionTicks;
            long earliest = (DateTime.MinValue - NtpEpoch).Ticks, latest = (DateTime.MaxValue - NtpEpoch).Ticks;
            return NtpEpoch.AddTicks(Math.Min(Math.Max(ticks, earliest), latest));
        }

        private static long FloorDivide(long value, long divisor) =>
            value / divisor - (value % divisor != 0 && (value < 0) != (divisor < 0) ? 1 : 0);

        private static string ReferenceText(byte[] packet, int stratum)
        {
            if (stratum > PrimaryStratum)
            {
                return string.Format(CultureInfo.InvariantCulture, "{0}.{1}.{2}.{3}", packet[ReferenceIdOffset],
                                     packet[ReferenceIdOffset + 1], packet[ReferenceIdOffset + 2],
                                     packet[ReferenceIdOffset + 3]);
            }
            int length = 4;
            while (length > 0 && packet[ReferenceIdOffset + length - 1] == 0) length--;
            var text = new char[length];
            for (int i = 0; i < length; i++)
            {
                byte b = packet[ReferenceIdOffset + i];
                text[i] = b >= 0x20 && b <= 0x7E ? (char)b : '?';
            }
            return new string(text);
        }
    }
}

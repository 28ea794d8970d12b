// A console test runner (no test framework restores offline): each scenario
// of the chosen group runs in turn, and the last line is "N passed, M failed".
//   dotnet Quorvel.Tests.dll GROUP|SCENARIO...
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Reflection;
using System.Threading;
using System.Threading.Tasks;

namespace Quorvel.Tests
{
    [AttributeUsage(AttributeTargets.Method)]
    internal sealed class ScenarioAttribute : Attribute
    {
        internal ScenarioAttribute(string group) { Group = group; }
        internal string Group { get; }
    }

    internal sealed class CheckFailed : Exception
    {
        internal CheckFailed(string message) : base(message) { }
    }

    internal static class Check
    {
        internal static void True(bool condition, string what)
        {
            if (!condition) throw new CheckFailed(what);
        }

        internal static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new CheckFailed(what + ": expected " + expected + ", got " + actual);
        }

        internal static void Bytes(byte[] expected, byte[] actual, string what)
        {
            if (expected.Length != actual.Length) throw new CheckFailed(what + ": " + actual.Length + " bytes, expected " + expected.Length);
            for (int i = 0; i < expected.Length; i++)
                if (expected[i] != actual[i]) throw new CheckFailed(what + ": byte " + i + " is " + actual[i] + ", expected " + expected[i]);
        }

        internal static T Throws<T>(Action action, string what) where T : Exception
        {
            try
            {
                action();
            }
            catch (T e)
            {
                return e;
            }
            catch (Exception e)
            {
                throw new CheckFailed(what + ": threw " + e.GetType().Name + " (" + e.Message + "), expected " + typeof(T).Name);
            }
            throw new CheckFailed(what + ": nothing thrown, expected " + typeof(T).Name);
        }

        internal static T Throws<T>(Func<Task> action, string what) where T : Exception =>
            Throws<T>(() => action().GetAwaiter().GetResult(), what);

        // The task's result, or a failure naming what did not happen in time.
        internal static T Within<T>(Task<T> task, int ms, string what)
        {
            if (!task.Wait(ms)) throw new CheckFailed("timed out after " + ms + " ms: " + what);
            return task.Result;
        }

        internal static void Within(Task task, int ms, string what)
        {
            if (!task.Wait(ms)) throw new CheckFailed("timed out after " + ms + " ms: " + what);
        }

        internal static void Until(Func<bool> condition, int ms, string what)
        {
            var clock = Stopwatch.StartNew();
            while (!condition())
            {
                if (clock.ElapsedMilliseconds > ms) throw new CheckFailed("timed out after " + ms + " ms: " + what);
                Thread.Sleep(10);
            }
        }
    }

    internal static class Program
    {
        // Exceptions on threads the program does not own (the package must raise none).
        internal static int Unhandled;

        private static int Main(string[] args)
        {
            AppDomain.CurrentDomain.UnhandledException += (s, e) =>
            {
                Interlocked.Increment(ref Unhandled);
                Console.WriteLine("unhandled exception: " + e.ExceptionObject);
            };
            var groups = new HashSet<string>(args);
            int passed = 0, failed = 0;
            var scenarios = typeof(Program).Assembly.GetTypes()
                .SelectMany(t => t.GetMethods(BindingFlags.Static | BindingFlags.Public | BindingFlags.NonPublic))
                .Where(m => m.GetCustomAttribute<ScenarioAttribute>() is ScenarioAttribute a && (groups.Contains(a.Group) || groups.Contains(m.Name)))
                .OrderBy(m => m.MetadataToken);
            foreach (MethodInfo scenario in scenarios)
            {
                string name = scenario.DeclaringType.Name + "." + scenario.Name;
                int before = Unhandled;
                var clock = Stopwatch.StartNew();
                try
                {
                    scenario.Invoke(null, null);
                    if (Unhandled != before) throw new CheckFailed("an exception reached a thread the program does not own");
                    passed++;
                    Console.WriteLine("ok   " + name + " (" + clock.ElapsedMilliseconds + " ms)");
                }
                catch (Exception e)
                {
                    failed++;
                    Exception shown = e is TargetInvocationException && e.InnerException != null ? e.InnerException : e;
                    Console.WriteLine("FAIL " + name + ": " + (shown is CheckFailed ? shown.Message : shown.ToString()));
                }
            }
            Console.WriteLine(passed + " passed, " + failed + " failed");
            return failed == 0 && passed > 0 ? 0 : 1;
        }
    }
}

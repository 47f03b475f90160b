package a.b

class C

package a
package b

object O

package a {
  class C
}
class D

object O {
  val f = (x: Int) => x + 1
  val g: Int => Int = _ + 1
  val (h, k) = (1, 2)
  var v = (x: Int) => x
}

trait T {
  def f: Int
  def g(x: Int): Int = x
}

package object po {
  type Id = Int
}
enum Color {
  case Red
}

class { def f = 1 }

package a.b

class C

package acme

object Stats {
  def mean(xs: Seq[Double]): Double = xs.sum / xs.size
}

